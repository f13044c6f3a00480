#include "telemetry/pipeline/rddi_log_db_storage.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/binary_plist_reader.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr const char* kIdColumn = "id";
constexpr const char* kGroupIdColumn = "groupId";
constexpr const char* kLogColumn = "log";
constexpr const char* kTargetTokenColumn = "targetToken";
constexpr const char* kTargetKeyColumn = "targetKey";
constexpr const char* kPriorityColumn = "priority";
constexpr const char* kClaimsTable = "claims";
constexpr const char* kClaimColumn = "claim";
// Eviction reads this many candidates at a time instead of every row it may delete.
constexpr int kEvictionCandidates = 16;
// Pages the claims of a load may take beyond the size limit, besides those their rows fill.
constexpr long kClaimHeadroomPages = 8;
// What one claim row takes in the claims table beyond its claim text, at most.
constexpr long kClaimRowOverheadBytes = 24;

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

std::string jsonArray(const std::vector<std::int64_t>& ids) {
    std::string json = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) json += (i ? "," : "") + std::to_string(ids[i]);
    return json + "]";
}

// --- Claims: which store is sending a row ------------------------------------------
// A claim names a store by boot, process id, process start time and the store's serial
// in its process, so that a process id used again, or a claim left from before a
// reboot, never passes for its holder, and a store that is gone (the process's end, or
// a store closed in a process that opens another) holds nothing.

std::string firstLineOf(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The start time (clock ticks since boot) of a process; none when it does not exist,
// "?" when it exists but cannot be read.
std::optional<std::string> processStartTime(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) {
        return ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0 ? std::optional<std::string>("?")
                                                                            : std::nullopt;
    }
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold spaces and parentheses: fields count from the last ")".
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return "?";
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) return field;
    }
    return "?";
}

struct ClaimRegistry {
    std::mutex mutex;
    long pid = 0;
    std::string process;  // "<boot>/<pid>/<start>"
    std::uint64_t nextStore = 0;
    std::set<std::uint64_t> liveStores;

    // Worked out per process id: a forked child is another sender than its parent.
    const std::string& processLocked() {
        if (pid != ::getpid()) {
            pid = ::getpid();
            process = fmt::format("{}/{}/{}", firstLineOf("/proc/sys/kernel/random/boot_id"), pid,
                                  processStartTime(pid).value_or("?"));
            liveStores.clear();
        }
        return process;
    }
};

ClaimRegistry& claims() {
    static auto* registry = new ClaimRegistry;  // stores may outlive the statics
    return *registry;
}

bool claimIsLive(const std::string& claim) {
    const auto last = claim.rfind('/');
    if (last == std::string::npos) return false;
    const std::string process = claim.substr(0, last);
    {
        auto& registry = claims();
        std::lock_guard lock(registry.mutex);
        if (process == registry.processLocked()) {
            try {
                return registry.liveStores.contains(std::stoull(claim.substr(last + 1)));
            } catch (const std::exception&) {
                return false;
            }
        }
        if (process.substr(0, process.find('/')) != registry.process.substr(0, registry.process.find('/'))) {
            return false;  // another boot
        }
    }
    const auto first = process.find('/');
    const auto second = process.find('/', first + 1);
    if (second == std::string::npos) return false;
    long pid = 0;
    try {
        pid = std::stol(process.substr(first + 1, second - first - 1));
    } catch (const std::exception&) {
        return false;
    }
    const auto started = processStartTime(pid);
    if (!started) return false;
    // A process that cannot be looked at is taken to be alive: its rows wait rather than go twice.
    return *started == "?" || *started == process.substr(second + 1);
}

// rddi_live_claim(claim): 1 while the claiming process lives. Answers are kept for the
// statement's life (the cache is the function's user data).
void liveClaimFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
    auto* cache = static_cast<std::map<std::string, bool>*>(sqlite3_user_data(context));
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    if (!text) {
        sqlite3_result_int(context, 0);
        return;
    }
    auto [found, added] = cache->try_emplace(text, false);
    if (added) found->second = claimIsLive(found->first);
    sqlite3_result_int(context, found->second ? 1 : 0);
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
    {
        auto& registry = claims();
        std::lock_guard lock(registry.mutex);
        const auto serial = registry.nextStore++;
        claim_ = fmt::format("{}/{}", registry.processLocked(), serial);
        registry.liveStores.insert(serial);
        claimSerial_ = serial;
    }
    // The core's and the Common Schema logs decode wherever the store is made; the
    // services register their own log classes when they start.
    RDDIRegisterCoreArchiveClasses();
    const auto indexes = columnsIndexes(logsSchema()).at(kTableName);
    idColumnIndex_ = indexes.at(kIdColumn);
    groupIdColumnIndex_ = indexes.at(kGroupIdColumn);
    logColumnIndex_ = indexes.at(kLogColumn);
    targetTokenColumnIndex_ = indexes.at(kTargetTokenColumn);
    configureStorage();
}

void RDDILogDBStorage::didConfigure() {
    // Files made before the group index and the claims existed get them too.
    executeQueryUsingBlock([](sqlite3* db) { return completeSchema(db) ? SQLITE_OK : SQLITE_ERROR; });
}

RDDILogDBStorage::~RDDILogDBStorage() {
    auto& registry = claims();
    std::lock_guard lock(registry.mutex);
    if (registry.pid == ::getpid()) registry.liveStores.erase(claimSerial_);
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

bool RDDILogDBStorage::completeSchema(sqlite3* database) {
    // Claims live in a table of their own: claiming a batch then writes a page or two
    // instead of rewriting every claimed row. The trigger drops the claim of every
    // deleted row, whoever deletes it (evictions, groups, versions that know nothing of
    // claims), so a claim never outlives its row.
    const bool indexes = createPriorityIndex(database);
    const int table = executeNonSelectionQueryInOpenedDatabase(
        fmt::format("CREATE TABLE IF NOT EXISTS \"{}\" (\"{}\" INTEGER PRIMARY KEY, \"{}\" TEXT NOT NULL)", kClaimsTable,
                    kIdColumn, kClaimColumn),
        database);
    const int trigger = executeNonSelectionQueryInOpenedDatabase(
        fmt::format("CREATE TRIGGER IF NOT EXISTS \"{}_of_deleted_{}\" AFTER DELETE ON \"{}\" BEGIN DELETE FROM \"{}\" "
                    "WHERE \"{}\" = old.\"{}\"; END",
                    kClaimsTable, kTableName, kTableName, kClaimsTable, kIdColumn, kIdColumn),
        database);
    return indexes && table == SQLITE_OK && trigger == SQLITE_OK;
}

void RDDILogDBStorage::customizeDatabase(sqlite3* database) { completeSchema(database); }

void RDDILogDBStorage::migrateDatabase(sqlite3* database, std::uint64_t) {
    // Older layouts are not converted: their logs are dropped with the table.
    dropTable(kTableName);
    createTablesWithSchema(logsSchema(), database);
    customizeDatabase(database);
}

// --- saving --------------------------------------------------------------------------

struct RDDILogDBStorage::PreparedLog {
    // "INSERT … SELECT", not "… VALUES": SQLite then keeps a statement journal for it,
    // so an insert that meets the size limit inside a grouped save undoes only itself
    // and room can be made in the same transaction. A plain VALUES insert that meets it
    // undoes the whole transaction.
    std::string insert;
    RDDIStorageBindableArray values;
    std::int64_t priority = 0;
    std::size_t length = 0;
    // Whether the archive would be read back: one holding text with a NUL never is, and
    // stored it would only be dropped when its batch is loaded, unreported.
    bool readable = false;
};

RDDILogDBStorage::PreparedLog RDDILogDBStorage::prepareLog(const RDDIAbstractLog& log, const std::string& groupId,
                                                           RDDIFlags flags) {
    PreparedLog prepared;
    auto archive = RDDIUtility::archiveKeyedData(&log);
    prepared.length = archive ? archive->size() : 0;
    prepared.readable = archive && pf::isSafeBinaryPropertyList(*archive);
    prepared.priority = static_cast<std::int64_t>(flags & RDDIFlagsPersistenceMask);
    prepared.values.addString(groupId);
    if (archive) {
        prepared.values.array.push_back(std::make_shared<ArchiveBytesType>(std::move(*archive)));
    } else {
        prepared.values.addString(std::nullopt);
    }
    if (isCommonSchemaLog(log) && !log.transmissionTargetTokens().empty()) {
        const auto token = *log.transmissionTargetTokens().begin();
        prepared.values.addString(targetTokenEncrypter_.encryptString(token));
        prepared.values.addString(RDDIUtility::targetKeyFromTargetToken(token));
        prepared.insert =
            fmt::format("INSERT INTO \"{}\" (\"{}\", \"{}\", \"{}\", \"{}\", \"{}\") SELECT ?, ?, ?, ?, ?", kTableName,
                        kGroupIdColumn, kLogColumn, kTargetTokenColumn, kTargetKeyColumn, kPriorityColumn);
    } else {
        prepared.insert = fmt::format("INSERT INTO \"{}\" (\"{}\", \"{}\", \"{}\") SELECT ?, ?, ?", kTableName,
                                      kGroupIdColumn, kLogColumn, kPriorityColumn);
    }
    prepared.values.addNumber(prepared.priority);
    return prepared;
}

int RDDILogDBStorage::storeLog(sqlite3* db, const PreparedLog& log, bool* diskFull) {
    // The page limit this connection was opened with, in bytes.
    const auto limit =
        static_cast<std::uint64_t>(maxSizeInBytes() / pageSize()) * static_cast<std::uint64_t>(pageSize());
    if (!log.readable) {
        RDDILogError(kRDDILogTag, "A log holds text that could not be read back (a NUL character); it is not stored.");
        return SQLITE_ERROR;
    }
    if (log.length >= limit) {
        RDDILogError(kRDDILogTag,
                     "Log is too large ({} bytes) to store in database. Current maximum database size is {} bytes.",
                     log.length, limit);
        return SQLITE_ERROR;
    }
    // Inside a grouped save, a failure that undid the transaction ends the work at once:
    // whatever ran after it would commit on its own, outside the group.
    const bool inTransaction = !sqlite3_get_autocommit(db);
    const auto undone = [&] { return inTransaction && sqlite3_get_autocommit(db); };
    int code = executeNonSelectionQueryInOpenedDatabase(log.insert, db, &log.values);
    if (code != SQLITE_OK && undone()) return code;
    if (code == SQLITE_FULL && noteFullDisk(db, log.length)) {
        *diskFull = true;
        return code;
    }
    if (code == SQLITE_FULL) {
        // Oldest of the lowest priority first, of any group, never of a higher priority
        // than the new log's (its priority, not its flags: flags of 256 and more must
        // not evict rows of a higher priority). A few candidates at a time: the rows
        // that may go can be the whole store.
        RDDIStorageBindableArray candidateValues;
        candidateValues.addNumber(log.priority);
        const auto select =
            fmt::format("SELECT \"{}\" FROM \"{}\" WHERE \"{}\" <= ? ORDER BY \"{}\" ASC, \"{}\" ASC LIMIT {}",
                        kIdColumn, kTableName, kPriorityColumn, kPriorityColumn, kIdColumn, kEvictionCandidates);
        long deleted = 0;
        bool evicting = true;
        while (evicting && code == SQLITE_FULL) {
            int selectCode = SQLITE_OK;
            const auto candidates = executeSelectionQueryInOpenedDatabase(select, db, &selectCode, &candidateValues);
            if (selectCode != SQLITE_OK) {
                code = selectCode;
                break;
            }
            if (candidates.empty()) break;
            for (const auto& row : candidates) {
                const int deleteCode = deleteLogsFromDBWithColumnValues({row.front()}, kIdColumn, db);
                if (deleteCode != SQLITE_OK) {
                    code = deleteCode;
                    evicting = false;
                    break;
                }
                RDDILogDebug(kRDDILogTag, "Deleted a log with id {} to store a new log.",
                             row.front().asInteger().value_or(0));
                ++deleted;
                code = executeNonSelectionQueryInOpenedDatabase(log.insert, db, &log.values);
                if (code != SQLITE_FULL) break;
                if (undone()) return code;
            }
            if (code != SQLITE_OK && undone()) return code;
        }
        if (deleted > 0) {
            RDDILogDebug(kRDDILogTag,
                         "Log storage was over capacity, {} oldest log(s) with equal or lower priority deleted.",
                         deleted);
        }
        if (code == SQLITE_FULL && noteFullDisk(db, log.length)) {
            *diskFull = true;
            return code;
        }
        if (code == SQLITE_FULL) {
            RDDILogError(kRDDILogTag,
                         "Storage is full and no logs with equal or lower priority exist; discarding the log.");
        }
    }
    if (code == SQLITE_OK) {
        RDDILogVerbose(kRDDILogTag, "Log is stored with id: '{}'", static_cast<long>(sqlite3_last_insert_rowid(db)));
    }
    return code;
}

namespace {
// The full disk is said once at ERROR when it fills; each log it refuses is reported to
// the channel's delegates as failed, and only traced here.
void logDiskFullDiscards(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        RDDILogDebug(kRDDILogTag, "Log could not be stored because the disk is full; discarding the log.");
}
}  // namespace

bool RDDILogDBStorage::saveLog(const std::shared_ptr<RDDIAbstractLog>& log, const std::string& groupId,
                               RDDIFlags flags) {
    return saveLogs({{log, flags}}, groupId).front() == SaveOutcome::stored;
}

std::vector<RDDIStorage::SaveOutcome> RDDILogDBStorage::saveLogs(const std::vector<LogToSave>& logs,
                                                                 const std::string& groupId) {
    std::vector<SaveOutcome> saved(logs.size(), SaveOutcome::notStored);
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < logs.size(); ++i)
        if (logs[i].first) pending.push_back(i);
    // A damaged page, or a file that lost its tables, met on the way is mended once, and
    // what failed is saved again.
    for (int attempt = 0; attempt < 2 && !pending.empty(); ++attempt) {
        storeLogs(logs, groupId, pending, saved);
        if (!damageFound() && !tablesLost()) break;
        recoverIfDamaged();
        std::erase_if(pending, [&](std::size_t i) { return saved[i] == SaveOutcome::stored; });
    }
    return saved;
}

void RDDILogDBStorage::storeLogs(const std::vector<LogToSave>& logs, const std::string& groupId,
                                 const std::vector<std::size_t>& which, std::vector<SaveOutcome>& saved) {
    const auto refuseAll = [&] {
        for (const auto i : which) saved[i] = SaveOutcome::cannotWrite;
    };
    if (isDiskFull()) {
        logDiskFullDiscards(which.size());
        return refuseAll();
    }
    std::vector<PreparedLog> prepared;
    prepared.reserve(which.size());
    for (const auto i : which) prepared.push_back(prepareLog(*logs[i].first, groupId, logs[i].second));
    // One log in a transaction of its own, with its own outcome and message.
    auto storeAlone = [&](std::size_t k) {
        bool full = false;
        const int code = executeQueryUsingBlock([&](sqlite3* db) { return storeLog(db, prepared[k], &full); });
        if (code == SQLITE_OK) {
            noteWritable();
            saved[which[k]] = SaveOutcome::stored;
            return;
        }
        if (code == kHeldByAnotherProcess) {
            saved[which[k]] = SaveOutcome::heldBack;
            return;
        }
        if (full) logDiskFullDiscards(1);
        saved[which[k]] = full || noteUnwritable(code) ? SaveOutcome::cannotWrite : SaveOutcome::notStored;
    };

    if (which.size() == 1) {
        storeAlone(0);
        return;
    }
    // One transaction for all: a commit per log is most of what a save costs. At the size
    // limit a log evicts older rows within it, so the group is kept whole or not at all.
    bool diskFull = false;
    std::vector<bool> inserted(which.size(), false);
    const int code = executeQueryUsingBlock([&](sqlite3* db) {
        int result = executeNonSelectionQueryInOpenedDatabase("BEGIN IMMEDIATE", db);
        if (result != SQLITE_OK) return result;
        for (std::size_t k = 0; k < prepared.size(); ++k) {
            result = storeLog(db, prepared[k], &diskFull);
            inserted[k] = result == SQLITE_OK;
            // The store refuses every row, or the failure undid the whole transaction
            // (the logs inserted before it are gone too). A log refused for itself (too
            // large, no row it may evict) is left out and the others go on.
            if (diskFull || noteUnwritable(result) || sqlite3_get_autocommit(db)) break;
            result = SQLITE_OK;
        }
        if (result == SQLITE_OK) result = executeNonSelectionQueryInOpenedDatabase("COMMIT", db);
        if (result != SQLITE_OK) {
            if (!sqlite3_get_autocommit(db)) executeNonSelectionQueryInOpenedDatabase("ROLLBACK", db);
            if (result == SQLITE_FULL && !diskFull) diskFull = noteFullDisk(db, 0);
        }
        return result;
    });
    if (code == SQLITE_OK) {
        noteWritable();
        for (std::size_t k = 0; k < which.size(); ++k)
            saved[which[k]] = inserted[k] ? SaveOutcome::stored : SaveOutcome::notStored;
        return;
    }
    if (diskFull) {
        logDiskFullDiscards(which.size());
        return refuseAll();
    }
    if (code == kHeldByAnotherProcess) {
        for (const auto i : which) saved[i] = SaveOutcome::heldBack;
        return;
    }
    if (noteUnwritable(code)) return refuseAll();
    // Waiting on another process already took the busy time-out; nothing else would help.
    if (code == SQLITE_BUSY) return;
    // Something undid the transaction, and nothing of it was kept: from that clean state,
    // each log on its own.
    for (std::size_t k = 0; k < which.size(); ++k) storeAlone(k);
}

std::uint64_t RDDILogDBStorage::countLogs() {
    const auto count = countEntriesForTable(kTableName, std::nullopt, nullptr);
    recoverIfDamaged();
    return count;
}

std::uint64_t RDDILogDBStorage::countLogsWithGroupId(const std::string& groupId) {
    RDDIStorageBindableArray values;
    values.addString(groupId);
    const auto count = countEntriesForTable(kTableName, fmt::format("\"{}\" = ?", kGroupIdColumn), &values);
    recoverIfDamaged();
    return count;
}

// --- deleting ------------------------------------------------------------------------

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
    prepareDeletion();
    int code = deleteLogsFromDBWithColumnValues({pf::Value(groupId)}, kGroupIdColumn);
    // The disk filled under the deletion: with the reserve given up, it goes through.
    if (code == SQLITE_FULL && noteFullDisk(nullptr, 0)) {
        prepareDeletion();
        code = deleteLogsFromDBWithColumnValues({pf::Value(groupId)}, kGroupIdColumn);
    }
    if (damageFound()) {
        recoverIfDamaged();
        code = deleteLogsFromDBWithColumnValues({pf::Value(groupId)}, kGroupIdColumn);
    }
    if (code == SQLITE_OK) reclaimSpace();
    std::erase_if(batches_, [&](const auto& entry) { return entry.first.first == groupId; });
}

void RDDILogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
    const auto found = batches_.find({groupId, batchId});
    if (found == batches_.end()) return;
    const std::vector<std::int64_t> batch = std::move(found->second);
    batches_.erase(found);
    // Rows whose deletion failed before go along: they were delivered and must not be sent again.
    std::vector<pf::Value> ids(undeletedIds_.begin(), undeletedIds_.end());
    for (const auto id : batch) ids.emplace_back(id);
    if (ids.empty()) return;
    auto deleteThem = [&] {
        prepareDeletion();
        return deleteLogsFromDBWithColumnValues(ids, kIdColumn);
    };
    int code = deleteThem();
    // The disk filled under the deletion: with the reserve given up, it goes through.
    if (code == SQLITE_FULL && noteFullDisk(nullptr, 0)) code = deleteThem();
    if (code == SQLITE_OK) {
        undeletedIds_.clear();
        reclaimSpace();
        return;
    }
    undeletedIds_.insert(batch.begin(), batch.end());
    // A damaged page: the file is made anew without them.
    recoverIfDamaged();
}

void RDDILogDBStorage::keepHeldBackChangesAtExit() {
    // Delivered rows whose deletion was held back go along: from the file the next
    // process finds they would be sent again.
    std::vector<pf::Value> ids(undeletedIds_.begin(), undeletedIds_.end());
    writeBackDeletedLogAtExit([&](sqlite3* db) {
        return ids.empty() ? SQLITE_OK : deleteLogsFromDBWithColumnValues(ids, kIdColumn, db);
    });
}

void RDDILogDBStorage::releaseLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
    const auto found = batches_.find({groupId, batchId});
    if (found == batches_.end() || found->second.empty()) return;
    RDDIStorageBindableArray values;
    values.addString(claim_);
    values.addString(jsonArray(found->second));
    executeNonSelectionQuery(fmt::format("DELETE FROM \"{}\" WHERE \"{}\" = ? AND \"{}\" IN (SELECT value FROM "
                                         "json_each(?))",
                                         kClaimsTable, kClaimColumn, kIdColumn),
                             &values);
}

// --- loading -------------------------------------------------------------------------

bool RDDILogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                           const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                           const LoadCompletion& completionHandler) {
    std::vector<std::int64_t> excludedIds(undeletedIds_.begin(), undeletedIds_.end());
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
        values.addString(jsonArray(excludedIds));
    }
    // Rows another live process is sending are its own.
    condition += fmt::format(" AND NOT EXISTS (SELECT 1 FROM \"{0}\" WHERE \"{0}\".\"{1}\" = \"{2}\".\"{1}\" AND "
                             "rddi_live_claim(\"{0}\".\"{3}\"))",
                             kClaimsTable, kIdColumn, kTableName, kClaimColumn);
    // SQLite's LIMIT is a signed 64-bit number; "no limit" stays the largest one.
    constexpr auto kMaxLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t sqlLimit = limit >= kMaxLimit ? kMaxLimit : limit + 1;
    condition += fmt::format(" ORDER BY \"{}\" DESC, \"{}\" ASC", kPriorityColumn, kIdColumn);
    condition += fmt::format(" LIMIT {}", sqlLimit);
    const auto query = fmt::format("SELECT * FROM \"{}\" WHERE {}", kTableName, condition);

    // Selected and claimed in one write transaction, so two processes sharing the store
    // never take the same rows. On a full disk the claim cannot be written; the rows go
    // unclaimed rather than not at all.
    const bool claiming = !isDiskFull();
    std::vector<RDDIDBRow> rows;
    executeQueryUsingBlock([&](sqlite3* db) {
        std::map<std::string, bool> liveClaims;
        sqlite3_create_function_v2(db, "rddi_live_claim", 1, SQLITE_UTF8, &liveClaims, liveClaimFunction, nullptr,
                                   nullptr, nullptr);
        if (claiming) {
            // Another process kept the file busy past the time-out: rows that cannot be
            // claimed are left for the next load rather than sent unclaimed.
            const int begun = executeNonSelectionQueryInOpenedDatabase("BEGIN IMMEDIATE", db);
            if (begun != SQLITE_OK) return begun;
        }
        int code = SQLITE_OK;
        rows = executeSelectionQueryInOpenedDatabase(query, db, &code, &values);
        // A file made anew by a version that knows nothing of claims lacks their table.
        if (code == SQLITE_ERROR && completeSchema(db)) {
            rows = executeSelectionQueryInOpenedDatabase(query, db, &code, &values);
        }
        if (!claiming) return code;
        std::vector<std::int64_t> taken;
        for (std::size_t i = 0; i < rows.size() && i < limit; ++i) {
            if (rows[i].size() > idColumnIndex_) taken.push_back(rows[i][idColumnIndex_].asInteger().value_or(0));
        }
        int claimCode = SQLITE_OK;
        if (!taken.empty()) {
            RDDIStorageBindableArray claim;
            claim.addString(claim_);
            claim.addString(jsonArray(taken));
            const auto insert =
                fmt::format("INSERT OR REPLACE INTO \"{}\" (\"{}\", \"{}\") SELECT value, ? FROM json_each(?)",
                            kClaimsTable, kIdColumn, kClaimColumn);
            claimCode = executeNonSelectionQueryInOpenedDatabase(insert, db, &claim);
            // A store at its size limit has no page for the claims: they may take the pages
            // they fill and a few more beyond it, and the next saves evict logs for them. A
            // fixed few would not hold a large batch's claims, and the retry would then pass
            // for a full disk.
            if (claimCode == SQLITE_FULL && !noteFullDisk(db, 0)) {
                const long claimBytes = static_cast<long>(taken.size()) *
                                        (static_cast<long>(claim_.size()) + kClaimRowOverheadBytes);
                const long claimPages = pageSize() > 0 ? claimBytes / pageSize() : 0;
                setMaxPageCount(getMaxPageCountInOpenedDatabase(db) + claimPages + kClaimHeadroomPages, db);
                claimCode = executeNonSelectionQueryInOpenedDatabase(insert, db, &claim);
            }
        }
        if (claimCode == SQLITE_OK) claimCode = executeNonSelectionQueryInOpenedDatabase("COMMIT", db);
        if (claimCode != SQLITE_OK && !sqlite3_get_autocommit(db)) {
            executeNonSelectionQueryInOpenedDatabase("ROLLBACK", db);
        }
        // Unclaimed rows go only when the disk is too full to hold the claim.
        if (claimCode != SQLITE_OK && !(claimCode == SQLITE_FULL && noteFullDisk(db, 0))) rows.clear();
        return code;
    });
    auto kept = decodeRows(std::move(rows), nullptr);
    const bool more = kept.size() > limit;
    if (more) kept.pop_back();
    std::vector<std::int64_t> ids;
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    ids.reserve(kept.size());
    logs.reserve(kept.size());
    for (auto& row : kept) {
        ids.push_back(row.id);
        logs.push_back(std::move(row.log));
    }
    std::optional<std::string> batchId;
    if (!ids.empty()) {
        batchId = pf::UUID().uuidString();
        RDDILogVerbose(kRDDILogTag, "Load log(s) with id(s) '{}' as batch Id:{}", joinedIds(ids), *batchId);
        batches_[{groupId, *batchId}] = std::move(ids);
    }
    // The rows read before a damaged page went into the batch; the file is mended
    // before anything else reads it.
    recoverIfDamaged();
    if (completionHandler) completionHandler(logs, batchId);
    return more;
}

void RDDILogDBStorage::setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    RDDIDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
}

void RDDILogDBStorage::recoverIfDamaged() {
    if (!damageFound()) return;
    // Ids still held in memory stay below every id of the new file, and rows delivered
    // but not deleted are not carried over.
    const std::set<std::int64_t> leaveOut(undeletedIds_.begin(), undeletedIds_.end());
    Recovery recovery;
    recovery.leaveOut = [&](const std::string&, std::int64_t id) { return leaveOut.contains(id); };
    recovery.sequenceFloors = heldRowIdFloors();
    recoverDamagedDatabase("a damaged page was met", recovery);
    undeletedIds_.clear();
}

std::map<std::string, std::int64_t> RDDILogDBStorage::heldRowIdFloors() const {
    std::int64_t floor = undeletedIds_.empty() ? 0 : *undeletedIds_.rbegin();
    for (const auto& [key, ids] : batches_)
        for (const auto id : ids) floor = std::max(floor, id);
    return {{kTableName, floor}};
}

std::vector<RDDILogDBStorage::LogRow> RDDILogDBStorage::logsWithCondition(const std::optional<std::string>& condition,
                                                                          const RDDIStorageBindableArray& values,
                                                                          std::int64_t* lastId) {
    auto query = fmt::format("SELECT * FROM \"{}\"", kTableName);
    if (condition && !condition->empty()) query += fmt::format(" WHERE {}", *condition);
    return decodeRows(executeSelectionQuery(query, &values), lastId);
}

std::vector<RDDILogDBStorage::LogRow> RDDILogDBStorage::decodeRows(std::vector<RDDIDBRow> rows, std::int64_t* lastId) {
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

int RDDILogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<pf::Value>& values,
                                                       const std::string& columnName) {
    return executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, columnName, db); });
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
    } else if (code == SQLITE_FULL) {
        // The caller gives up the disk's reserve (said once) and deletes again.
        RDDILogDebug(kRDDILogTag, "Deletion of log(s) by {} met a full disk.", columnName);
    } else {
        RDDILogError(kRDDILogTag, "Deletion of log(s) by {} with value(s) '{}' failed.", columnName,
                     joinedValues(values));
    }
    return code;
}

}  // namespace rddi
