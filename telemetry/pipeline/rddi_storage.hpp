#pragma once
// The log store's contract, and values that bind to SQLite statement parameters.
#include "telemetry/core/rddi_abstract_log.hpp"
#include "telemetry/core/rddi_constants.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace rddi {

class RDDIStorage {
public:
    using LoadCompletion =
        std::function<void(const std::vector<std::shared_ptr<RDDIAbstractLog>>& logs, const std::optional<std::string>& batchId)>;

    virtual ~RDDIStorage() = default;
    using LogToSave = std::pair<std::shared_ptr<RDDIAbstractLog>, RDDIFlags>;
    // What became of a log handed to saveLogs: stored, left out by the store's own rules
    // (too large, no room it may make, text that could not be read back), or refused
    // because the store cannot be written now (a full disk, a folder that cannot be
    // written). Either way a log not stored is lost, and its unit reports it as failed.
    // Held back: nothing was done, because another process holds the store and it cannot
    // be reached without it; the log may be saved again later.
    enum class SaveOutcome { stored, notStored, cannotWrite, heldBack };

    // Persists one log; true on success.
    virtual bool saveLog(const std::shared_ptr<RDDIAbstractLog>& log, const std::string& groupId, RDDIFlags flags) = 0;
    // Persists logs of one group in their order, each as saveLog would; what became of
    // each. A store may commit them together (this one saves them one by one).
    virtual std::vector<SaveOutcome> saveLogs(const std::vector<LogToSave>& logs, const std::string& groupId);
    // Stored logs of all groups.
    virtual std::uint64_t countLogs() = 0;
    // Stored logs of one group, those in flight included (this one counts all groups).
    virtual std::uint64_t countLogsWithGroupId(const std::string& groupId);
    // Deletes every stored log of the group and forgets its batches; the logs deleted.
    virtual std::vector<std::shared_ptr<RDDIAbstractLog>> deleteLogsWithGroupId(const std::string& groupId) = 0;
    // As above, handing the logs one at a time to `each` (may be empty) instead of
    // keeping them all, so a large backlog is dropped in bounded memory.
    virtual void deleteLogsWithGroupId(const std::string& groupId,
                                       const std::function<void(const std::shared_ptr<RDDIAbstractLog>&)>& each) = 0;
    virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;
    // After a batch failed: its logs stay out of this process's loads, as before, and
    // other processes sharing the store may send them now (this one does nothing).
    virtual void releaseLogsWithBatchId(const std::string& batchId, const std::string& groupId);
    // Loads up to `limit` logs as a new batch, hands them to the completion before
    // returning, and answers whether more logs were left behind.
    virtual bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                     const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                     const LoadCompletion& completionHandler) = 0;
    // The completion (may be empty) always gets the outcome.
    virtual void setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) = 0;
    // As the process ends with logs held back: what another process's hold kept out of the
    // store and would go with this process (deletions of delivered logs, a log of changes
    // deleted meanwhile) is put in when that can be done safely (this one does nothing).
    virtual void keepHeldBackChangesAtExit() {}
};

class RDDIStorageBindableType {
public:
    virtual ~RDDIStorageBindableType() = default;
    // Binds to the 1-based parameter; the SQLite result code.
    virtual int bindWithStatement(sqlite3_stmt* statement, int index) const = 0;
};

// Text, or SQL NULL when there is none; SQLite keeps its own copy.
class RDDIStorageTextType : public RDDIStorageBindableType {
public:
    explicit RDDIStorageTextType(std::optional<std::string> value) : value(std::move(value)) {}
    int bindWithStatement(sqlite3_stmt* statement, int index) const override;
    std::optional<std::string> value;
};

// A signed 64-bit integer.
class RDDIStorageNumberType : public RDDIStorageBindableType {
public:
    explicit RDDIStorageNumberType(std::int64_t value) : value(value) {}
    int bindWithStatement(sqlite3_stmt* statement, int index) const override;
    std::int64_t value;
};

class RDDIStorageBindableArray {
public:
    void addString(std::optional<std::string> value);
    void addNumber(std::int64_t value);
    // Binds the values to parameters 1..n in order; the first failure is logged and
    // returned, an empty array binds nothing (0).
    int bindAllValuesWithStatement(sqlite3_stmt* statement, sqlite3* database) const;

    std::vector<std::shared_ptr<RDDIStorageBindableType>> array;
};

}  // namespace rddi
