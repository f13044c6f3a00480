#include "telemetry/pipeline/rddi_storage.hpp"

#include "telemetry/core/rddi_logger.hpp"

#include <sqlite3.h>

namespace rddi {

std::vector<RDDIStorage::SaveOutcome> RDDIStorage::saveLogs(const std::vector<LogToSave>& logs,
                                                            const std::string& groupId) {
    std::vector<SaveOutcome> saved;
    saved.reserve(logs.size());
    for (const auto& [log, flags] : logs)
        saved.push_back(saveLog(log, groupId, flags) ? SaveOutcome::stored : SaveOutcome::notStored);
    return saved;
}

std::uint64_t RDDIStorage::countLogsWithGroupId(const std::string&) { return countLogs(); }

void RDDIStorage::releaseLogsWithBatchId(const std::string&, const std::string&) {}

int RDDIStorageTextType::bindWithStatement(sqlite3_stmt* statement, int index) const {
    if (!value) return sqlite3_bind_null(statement, index);
    // Up to the first NUL, as C text goes.
    return sqlite3_bind_text(statement, index, value->c_str(), -1, SQLITE_TRANSIENT);
}

int RDDIStorageNumberType::bindWithStatement(sqlite3_stmt* statement, int index) const {
    return sqlite3_bind_int64(statement, index, value);
}

void RDDIStorageBindableArray::addString(std::optional<std::string> value) {
    array.push_back(std::make_shared<RDDIStorageTextType>(std::move(value)));
}

void RDDIStorageBindableArray::addNumber(std::int64_t value) {
    array.push_back(std::make_shared<RDDIStorageNumberType>(value));
}

int RDDIStorageBindableArray::bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* database) const {
    for (std::size_t i = 0; i < array.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        const int code = array[i]->bindWithStatement(statement, index);
        if (code != SQLITE_OK) {
            RDDILogError(kRDDILogTag, "Binding query parameter {} failed with error: {}. Message: {}", index, code,
                         sqlite3_errmsg(database));
            return code;
        }
    }
    return SQLITE_OK;
}

}  // namespace rddi
