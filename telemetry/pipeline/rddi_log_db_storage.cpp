#include "telemetry/pipeline/rddi_log_db_storage.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <limits>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr const char* kIdColumn = "id";
constexpr const char* kGroupIdColumn = "groupId";
constexpr const char* kLogColumn = "log";
constexpr const char* kTargetTokenColumn = "targetToken";
constexpr const char* kTargetKeyColumn = "targetKey";
constexpr const char* kPriorityColumn = "priority";

// Beyond this many excluded ids the ids go as one JSON array parameter: a placeholder
// each would pass SQLite's parameter limit, and in-flight batches that failed
// recoverably stay excluded for the process's life.
constexpr std::size_t kMaxPlaceholderIds = 500;

// The archive's own bytes. Rows used to hold its Base64 text, a third larger, which
// left room for only two of the usual logs in a page; such rows still load.
class ArchiveBytesType : public RDDIStorageBindableType {
public:
    explicit ArchiveBytesType(pf::Data bytes) : bytes_(std::move(bytes)) {}
    int bindWithStatement(sqlite3_stmt* statement, int index) const override {
        return sqlite3_bind_blob64(statement, index, bytes_.data(), bytes_.size(), SQLITE_STATIC);
    }

private:
    pf::Data bytes_;
};

bool isCommonSchemaLog(const RDDIAbstractLog& log) { return dynamic_cast<const RDDICommonSchemaLog*>(&log) != nullptr; }

// Base64 text with characters outside the alphabet ignored.
bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

std::optional<pf::Data> lenientBase64Decoded(const std::string& text) {
    if (std::all_of(text.begin(), text.end(), isBase64Character)) return pf::base64Decoded(text);
    std::string clean;
    clean.reserve(text.size());
    std::copy_if(text.begin(), text.end(), std::back_inserter(clean), isBase64Character);
    return pf::base64Decoded(clean);
}

std::string joinedValues(const std::vector<pf::Value>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += "','";
        if (const auto number = values[i].asInteger()) {
            out += std::to_string(*number);
        } else if (const auto* text = values[i].asString()) {
            out += *text;
        }
    }
    return out;
}

std::string joinedIds(const std::vector<std::int64_t>& ids) {
    std::string out;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i) out += "','";
        out += std::to_string(ids[i]);
    }
    return out;
}

}  // namespace

RDDIDBSchema RDDILogDBStorage::logsSchema() {
    return {{kTableName,
             {{kIdColumn, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
              {kGroupIdColumn, {"TEXT", "NOT NULL"}},
              {kLogColumn, {"TEXT", "NOT NULL"}},
              {kTargetTokenColumn, {"TEXT"}},
              {kTargetKeyColumn, {"TEXT"}},
              {kPriorityColumn, {"INTEGER"}}}}};
}

RDDILogDBStorage::RDDILogDBStorage() : RDDIDBStorage(DeferConfiguration{}, logsSchema(), kVersion, kFileName) {
    // The core's and the Common Schema logs decode wherever the store is made; the
    // services register their own log classes when they start.
    RDDIRegisterCoreArchiveClasses();
    configureStorage();
    const auto indexes = columnsIndexes(logsSchema()).at(kTableName);
    idColumnIndex_ = indexes.at(kIdColumn);
    groupIdColumnIndex_ = indexes.at(kGroupIdColumn);
    logColumnIndex_ = indexes.at(kLogColumn);
    targetTokenColumnIndex_ = indexes.at(kTargetTokenColumn);
    // Files made before the group index existed get it too.
    executeQueryUsingBlock([](sqlite3* db) { return createPriorityIndex(db) ? SQLITE_OK : SQLITE_ERROR; });
}

bool RDDILogDBStorage::createPriorityIndex(sqlite3* database) {
    // The priority index as the schema has always had it, and one that serves a
    // group's batch load straight from the index: without it every load scans and
    // sorts the group, so draining a backlog costs quadratic time.
    const int first = executeNonSelectionQueryInOpenedDatabase(
        fmt::format("CREATE INDEX IF NOT EXISTS \"ix_{}_{}\" ON \"{}\" (\"{}\")", kTableName, kPriorityColumn,
                    kTableName, kPriorityColumn),
        database);
    const int second = executeNonSelectionQueryInOpenedDatabase(
        fmt::format("CREATE INDEX IF NOT EXISTS \"ix_{}_{}_{}_{}\" ON \"{}\" (\"{}\", \"{}\" DESC, \"{}\")", kTableName,
                    kGroupIdColumn, kPriorityColumn, kIdColumn, kTableName, kGroupIdColumn, kPriorityColumn, kIdColumn),
        database);
    return first == SQLITE_OK && second == SQLITE_OK;
}

void RDDILogDBStorage::customizeDatabase(sqlite3* database) { createPriorityIndex(database); }

void RDDILogDBStorage::migrateDatabase(sqlite3* database, std::uint64_t) {
    // Older layouts are not converted: their logs are dropped with the table.
    dropTable(kTableName);
    createTablesWithSchema(logsSchema(), database);
    customizeDatabase(database);
}

bool RDDILogDBStorage::saveLog(const std::shared_ptr<RDDIAbstractLog>& log, const std::string& groupId,
                               RDDIFlags flags) {
    if (!log) return false;
    auto archive = RDDIUtility::archiveKeyedData(log.get());
    const std::size_t length = archive ? archive->size() : 0;
    const auto priority = static_cast<std::int64_t>(flags & RDDIFlagsPersistenceMask);

    RDDIStorageBindableArray values;
    std::string insert;
    values.addString(groupId);
    if (archive) {
        values.array.push_back(std::make_shared<ArchiveBytesType>(std::move(*archive)));
    } else {
        values.addString(std::nullopt);
    }
    if (isCommonSchemaLog(*log) && !log->transmissionTargetTokens().empty()) {
        const auto token = *log->transmissionTargetTokens().begin();
        values.addString(targetTokenEncrypter_.encryptString(token));
        values.addString(RDDIUtility::targetKeyFromTargetToken(token));
        insert = fmt::format("INSERT INTO \"{}\" (\"{}\", \"{}\", \"{}\", \"{}\", \"{}\") VALUES (?, ?, ?, ?, ?)",
                             kTableName, kGroupIdColumn, kLogColumn, kTargetTokenColumn, kTargetKeyColumn,
                             kPriorityColumn);
    } else {
        insert = fmt::format("INSERT INTO \"{}\" (\"{}\", \"{}\", \"{}\") VALUES (?, ?, ?)", kTableName, kGroupIdColumn,
                             kLogColumn, kPriorityColumn);
    }
    values.addNumber(priority);

    const int result = executeQueryUsingBlock([&](sqlite3* db) {
        // The page limit this connection was opened with, in bytes.
        const auto limit = static_cast<std::uint64_t>(maxSizeInBytes() / pageSize()) *
                           static_cast<std::uint64_t>(pageSize());
        if (length >= limit) {
            RDDILogError(kRDDILogTag,
                         "Log is too large ({} bytes) to store in database. Current maximum database size is {} bytes.",
                         length, limit);
            return SQLITE_ERROR;
        }
        int code = executeNonSelectionQueryInOpenedDatabase(insert, db, &values);
        if (code == SQLITE_FULL) {
            // The new log's priority, not its flags: flags of 256 and above must not
            // evict rows of a higher priority.
            RDDIStorageBindableArray candidateValues;
            candidateValues.addNumber(priority);
            int selectCode = SQLITE_OK;
            const auto candidates = executeSelectionQueryInOpenedDatabase(
                fmt::format("SELECT \"{}\" FROM \"{}\" WHERE \"{}\" <= ? ORDER BY \"{}\" ASC, \"{}\" ASC", kIdColumn,
                            kTableName, kPriorityColumn, kPriorityColumn, kIdColumn),
                db, &selectCode, &candidateValues);
            long deleted = 0;
            for (const auto& row : candidates) {
                const int deleteCode = deleteLogsFromDBWithColumnValues({row.front()}, kIdColumn, db);
                if (deleteCode != SQLITE_OK) {
                    code = deleteCode;
                    break;
                }
                RDDILogDebug(kRDDILogTag, "Deleted a log with id {} to store a new log.", row.front().asInteger().value_or(0));
                ++deleted;
                code = executeNonSelectionQueryInOpenedDatabase(insert, db, &values);
                if (code != SQLITE_FULL) break;
            }
            if (deleted > 0) {
                RDDILogDebug(kRDDILogTag,
                             "Log storage was over capacity, {} oldest log(s) with equal or lower priority deleted.",
                             deleted);
            }
        }
        if (code == SQLITE_OK) {
            RDDILogVerbose(kRDDILogTag, "Log is stored with id: '{}'", static_cast<long>(sqlite3_last_insert_rowid(db)));
        } else if (code == SQLITE_FULL) {
            RDDILogError(kRDDILogTag,
                         "Storage is full and no logs with equal or lower priority exist; discarding the log.");
        }
        return code;
    });
    return result == SQLITE_OK;
}

std::uint64_t RDDILogDBStorage::countLogs() { return countEntriesForTable(kTableName, std::nullopt, nullptr); }

std::vector<std::shared_ptr<RDDIAbstractLog>> RDDILogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    deleteLogsWithGroupId(groupId, [&](const std::shared_ptr<RDDIAbstractLog>& log) { logs.push_back(log); });
    return logs;
}

void RDDILogDBStorage::deleteLogsWithGroupId(
    const std::string& groupId, const std::function<void(const std::shared_ptr<RDDIAbstractLog>&)>& each) {
    // Read in chunks by id, so a large group is never decoded into memory at once.
    std::int64_t after = std::numeric_limits<std::int64_t>::min();
    for (;;) {
        RDDIStorageBindableArray values;
        values.addString(groupId);
        values.addNumber(after);
        std::int64_t lastId = after;
        // "+" keeps the planner on the row ids: through the group index every chunk
        // would sort the whole group again.
        const auto rows = logsWithCondition(
            fmt::format("+\"{}\" = ? AND \"{}\" > ? ORDER BY \"{}\" ASC LIMIT {}", kGroupIdColumn, kIdColumn, kIdColumn,
                        kChunkSize),
            values, &lastId);
        if (each) {
            for (const auto& row : rows) each(row.log);
        }
        if (lastId == after) break;
        after = lastId;
    }
    deleteLogsFromDBWithColumnValue(pf::Value(groupId), kGroupIdColumn);
    std::erase_if(batches_, [&](const auto& entry) { return entry.first.first == groupId; });
}

void RDDILogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
    const auto found = batches_.find({groupId, batchId});
    if (found == batches_.end()) return;
    std::vector<pf::Value> ids;
    ids.reserve(found->second.size());
    for (const auto id : found->second) ids.emplace_back(id);
    if (!ids.empty()) deleteLogsFromDBWithColumnValues(ids, kIdColumn);
    batches_.erase(found);
}

bool RDDILogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                           const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                           const LoadCompletion& completionHandler) {
    std::vector<std::int64_t> excludedIds;
    for (const auto& [key, ids] : batches_) {
        if (key.first == groupId) excludedIds.insert(excludedIds.end(), ids.begin(), ids.end());
    }
    RDDIStorageBindableArray values;
    auto condition = fmt::format("\"{}\" = ?", kGroupIdColumn);
    values.addString(groupId);
    if (excludedTargetKeys && !excludedTargetKeys->empty()) {
        condition += fmt::format(" AND \"{}\" NOT IN {}", kTargetKeyColumn,
                                 buildKeyFormatWithCount(excludedTargetKeys->size()));
        for (const auto& key : *excludedTargetKeys) values.addString(key);
    }
    if (!excludedIds.empty() && excludedIds.size() <= kMaxPlaceholderIds) {
        condition += fmt::format(" AND \"{}\" NOT IN {}", kIdColumn, buildKeyFormatWithCount(excludedIds.size()));
        for (const auto id : excludedIds) values.addNumber(id);
    } else if (!excludedIds.empty()) {
        condition += fmt::format(" AND \"{}\" NOT IN (SELECT value FROM json_each(?))", kIdColumn);
        std::string json = "[";
        for (std::size_t i = 0; i < excludedIds.size(); ++i) json += (i ? "," : "") + std::to_string(excludedIds[i]);
        values.addString(json + "]");
    }
    // SQLite's LIMIT is a signed 64-bit number; "no limit" stays the largest one.
    constexpr auto kMaxLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t sqlLimit = limit >= kMaxLimit ? kMaxLimit : limit + 1;
    condition += fmt::format(" ORDER BY \"{}\" DESC, \"{}\" ASC", kPriorityColumn, kIdColumn);
    condition += fmt::format(" LIMIT {}", sqlLimit);

    auto rows = logsWithCondition(condition, values);
    const bool more = rows.size() > limit;
    if (more) rows.pop_back();
    std::vector<std::int64_t> ids;
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    ids.reserve(rows.size());
    logs.reserve(rows.size());
    for (auto& row : rows) {
        ids.push_back(row.id);
        logs.push_back(std::move(row.log));
    }
    std::optional<std::string> batchId;
    if (!ids.empty()) {
        batchId = pf::UUID().uuidString();
        RDDILogVerbose(kRDDILogTag, "Load log(s) with id(s) '{}' as batch Id:{}", joinedIds(ids), *batchId);
        batches_[{groupId, *batchId}] = std::move(ids);
    }
    if (completionHandler) completionHandler(logs, batchId);
    return more;
}

void RDDILogDBStorage::setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    RDDIDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
}

std::vector<RDDILogDBStorage::LogRow> RDDILogDBStorage::logsWithCondition(const std::optional<std::string>& condition,
                                                                          const RDDIStorageBindableArray& values,
                                                                          std::int64_t* lastId) {
    auto query = fmt::format("SELECT * FROM \"{}\"", kTableName);
    if (condition && !condition->empty()) query += fmt::format(" WHERE {}", *condition);
    auto rows = executeSelectionQuery(query, &values);
    std::vector<LogRow> kept;
    kept.reserve(rows.size());
    for (auto& row : rows) {
        if (row.size() <= std::max({idColumnIndex_, groupIdColumnIndex_, logColumnIndex_, targetTokenColumnIndex_})) {
            continue;
        }
        const auto id = row[idColumnIndex_].asInteger().value_or(0);
        if (lastId) *lastId = std::max(*lastId, id);
        std::shared_ptr<RDDIAbstractLog> log;
        if (auto* bytes = row[logColumnIndex_].asData()) {
            log = RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(std::move(*bytes));
        } else if (const auto* text = row[logColumnIndex_].asString()) {
            log = RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(lenientBase64Decoded(*text));
        }
        if (!log) {
            RDDILogError(kRDDILogTag, "Deserialization failed for log with Id {}", id);
            deleteLogFromDBWithId(id);
            continue;
        }
        if (const auto* token = row[targetTokenColumnIndex_].asString()) {
            if (token->empty()) {
                RDDILogError(kRDDILogTag, "Unexpected empty target token for log with Id {}.", id);
            } else {
                std::optional<std::string> decrypted;
                try {
                    decrypted = targetTokenEncrypter_.decryptString(*token);
                } catch (const RDDIEncrypterException& e) {
                    RDDILogError(kRDDILogTag, "{} {}", e.name(), e.reason());
                }
                if (decrypted) {
                    log->addTransmissionTargetToken(*decrypted);
                } else {
                    RDDILogError(kRDDILogTag, "Failed to decrypt the target token for log with Id {}.", id);
                }
            }
        }
        LogRow kept_row;
        kept_row.id = id;
        if (const auto* group = row[groupIdColumnIndex_].asString()) kept_row.groupId = *group;
        kept_row.log = std::move(log);
        kept.push_back(std::move(kept_row));
    }
    return kept;
}

std::vector<std::shared_ptr<RDDIAbstractLog>> RDDILogDBStorage::logsFromDBWithGroupId(const std::string& groupId) {
    RDDIStorageBindableArray values;
    values.addString(groupId);
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    for (auto& row : logsWithCondition(fmt::format("\"{}\" = ?", kGroupIdColumn), values)) logs.push_back(row.log);
    return logs;
}

std::string RDDILogDBStorage::buildKeyFormatWithCount(std::size_t count) {
    std::string format = "(";
    for (std::size_t i = 0; i < count; ++i) format += i ? ",?" : "?";
    return format + ")";
}

void RDDILogDBStorage::deleteLogFromDBWithId(std::int64_t id) {
    deleteLogsFromDBWithColumnValues({pf::Value(id)}, kIdColumn);
}

void RDDILogDBStorage::deleteLogsFromDBWithColumnValue(const pf::Value& value, const std::string& columnName) {
    deleteLogsFromDBWithColumnValues({value}, columnName);
}

void RDDILogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<pf::Value>& values,
                                                        const std::string& columnName) {
    executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, columnName, db); });
}

int RDDILogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<pf::Value>& values,
                                                       const std::string& columnName, sqlite3* database) {
    int code = SQLITE_OK;
    // The values are bound, never written into the statement: a group id with a quote
    // in it must neither break the deletion nor widen it.
    for (std::size_t start = 0; start < values.size() && code == SQLITE_OK; start += kChunkSize) {
        const std::size_t count = std::min(kChunkSize, values.size() - start);
        RDDIStorageBindableArray bound;
        for (std::size_t i = start; i < start + count; ++i) {
            if (const auto* text = values[i].asString()) {
                bound.addString(*text);
            } else {
                bound.addNumber(values[i].asInteger().value_or(0));
            }
        }
        code = executeNonSelectionQueryInOpenedDatabase(
            fmt::format("DELETE FROM \"{}\" WHERE \"{}\" IN {}", kTableName, columnName, buildKeyFormatWithCount(count)),
            database, &bound);
    }
    // The trace is only formatted when a handler prints it: deletions can name 100k ids.
    if (code == SQLITE_OK) {
        RDDILogVerbose(kRDDILogTag, "Deletion of log(s) by {} with value(s) '{}' succeeded.", columnName,
                       joinedValues(values));
    } else {
        RDDILogError(kRDDILogTag, "Deletion of log(s) by {} with value(s) '{}' failed.", columnName,
                     joinedValues(values));
    }
    return code;
}

}  // namespace rddi
