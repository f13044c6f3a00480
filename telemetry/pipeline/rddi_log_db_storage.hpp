#pragma once
// The SDK's one persistent log store: every accepted log is a row of "logs" in
// "Logs.sqlite", tagged with its unit's group id and a priority. Units load their logs
// back in batches, highest priority and oldest first; a loaded batch stays excluded
// from later loads until the unit deletes it or the process ends. A full database
// makes room by evicting the oldest rows of equal or lower priority. A row holds the
// log's keyed archive as bytes; rows of earlier versions hold its Base64 text and load
// just the same.
//
// Processes sharing the store (the command line and the desktop application share
// the bundle's folder) never send the same row: a load claims its rows, in the
// transaction that selects them, for the loading store, and other stores skip rows
// claimed by a store that still lives. A claim goes with its row, is handed back when
// the batch fails, and dies with its store or process, so only a process killed with a
// batch on the wire leaves rows that may be sent twice. The claims are a table of
// their own, which versions that know nothing of them leave alone.
//
// Not locked: every call comes from the channel group's serial logs queue.
#include "telemetry/core/rddi_encrypter.hpp"
#include "telemetry/pipeline/rddi_db_storage.hpp"
#include "telemetry/pipeline/rddi_storage.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rddi {

class RDDILogDBStorage : public RDDIDBStorage, public RDDIStorage {
public:
    static constexpr std::uint64_t kVersion = 5;
    static constexpr const char* kFileName = "Logs.sqlite";
    static constexpr const char* kTableName = "logs";
    // Deletions and group reads go in chunks of this many rows, well below SQLite's
    // parameter limit and bounded in memory.
    static constexpr std::size_t kChunkSize = 500;

    RDDILogDBStorage();
    ~RDDILogDBStorage() override;

    bool saveLog(const std::shared_ptr<RDDIAbstractLog>& log, const std::string& groupId, RDDIFlags flags) override;
    // In one transaction, evicting within it at the size limit; when something undoes
    // the transaction, each log again on its own.
    std::vector<SaveOutcome> saveLogs(const std::vector<LogToSave>& logs, const std::string& groupId) override;
    std::uint64_t countLogs() override;
    std::uint64_t countLogsWithGroupId(const std::string& groupId) override;
    std::vector<std::shared_ptr<RDDIAbstractLog>> deleteLogsWithGroupId(const std::string& groupId) override;
    void deleteLogsWithGroupId(const std::string& groupId,
                               const std::function<void(const std::shared_ptr<RDDIAbstractLog>&)>& each) override;
    // Rows whose deletion fails stay out of every load and are deleted with the next batch.
    void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
    void releaseLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
    void keepHeldBackChangesAtExit() override;
    bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                             const std::optional<std::vector<std::string>>& excludedTargetKeys,
                             const LoadCompletion& completionHandler) override;
    void setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) override;

    void customizeDatabase(sqlite3* database) override;
    void migrateDatabase(sqlite3* database, std::uint64_t fromVersion) override;

    // A stored row with its log decoded.
    struct LogRow {
        std::int64_t id = 0;
        std::string groupId;
        std::shared_ptr<RDDIAbstractLog> log;
    };
    // Rows of "logs" (all of them for no condition); rows whose log cannot be decoded
    // are deleted and left out. `lastId`, when given, receives the highest id read,
    // decodable or not.
    std::vector<LogRow> logsWithCondition(const std::optional<std::string>& condition,
                                          const RDDIStorageBindableArray& values, std::int64_t* lastId = nullptr);
    std::vector<std::shared_ptr<RDDIAbstractLog>> logsFromDBWithGroupId(const std::string& groupId);
    // "(?,?,?)" for 3.
    static std::string buildKeyFormatWithCount(std::size_t count);
    void deleteLogFromDBWithId(std::int64_t id);
    void deleteLogsFromDBWithColumnValue(const platform::foundation::Value& value, const std::string& columnName);
    // The first failing code.
    int deleteLogsFromDBWithColumnValues(const std::vector<platform::foundation::Value>& values,
                                         const std::string& columnName);
    // Bound values (integers or strings), in chunks; the first failing code.
    static int deleteLogsFromDBWithColumnValues(const std::vector<platform::foundation::Value>& values,
                                                const std::string& columnName, sqlite3* database);
    static bool createPriorityIndex(sqlite3* database);
    // The indexes, the claims table and its trigger, each made when missing.
    static bool completeSchema(sqlite3* database);

    static RDDIDBSchema logsSchema();
    // Row ids of the batches in flight, for tests and diagnostics.
    std::size_t batchCount() const { return batches_.size(); }
    RDDIEncrypter& targetTokenEncrypter() { return targetTokenEncrypter_; }

private:
    struct PreparedLog;
    PreparedLog prepareLog(const RDDIAbstractLog& log, const std::string& groupId, RDDIFlags flags);
    // Inserts one log on an open connection, evicting older rows when the page limit is
    // reached; `diskFull` is set when the disk refused it. In a transaction, returns as
    // soon as a failure undid the transaction.
    int storeLog(sqlite3* database, const PreparedLog& log, bool* diskFull);
    void storeLogs(const std::vector<LogToSave>& logs, const std::string& groupId, const std::vector<std::size_t>& which,
                   std::vector<SaveOutcome>& saved);
    std::vector<LogRow> decodeRows(std::vector<RDDIDBRow> rows, std::int64_t* lastId);
    // After an operation met a damaged page: the file is made anew.
    void recoverIfDamaged();
    // Ids of the batches in flight and of delivered rows not yet deleted.
    std::map<std::string, std::int64_t> heldRowIdFloors() const override;
    void didConfigure() override;

    // Keyed by (group id, batch id): a group whose id extends another's ("Crashes" and
    // "CrashesBuffer") keeps its own batches when the other is deleted.
    std::map<std::pair<std::string, std::string>, std::vector<std::int64_t>> batches_;
    std::size_t idColumnIndex_ = 0;
    std::size_t groupIdColumnIndex_ = 1;
    std::size_t logColumnIndex_ = 2;
    std::size_t targetTokenColumnIndex_ = 3;
    RDDIEncrypter targetTokenEncrypter_;
    // This store's claim on the rows it sends.
    std::string claim_;
    std::uint64_t claimSerial_ = 0;
    // Delivered rows whose deletion failed (a full disk): never loaded again.
    std::set<std::int64_t> undeletedIds_;
};

}  // namespace rddi
