#pragma once
// One SQLite database file in the SDK folder, built from a declarative schema, with
// its schema version in the user version, hooks for a new and an older database, a
// size limit through the page limit, and a connection per operation.
//
// The file runs in write-ahead-log mode with synchronous NORMAL, and one idle "keeper"
// connection stays open while a store of the file lives: without it every per-operation
// close would checkpoint the log into the file and sync, which costs two orders of
// magnitude in saves per second. The process's connections to the file share one page cache and
// schema (which the keeper keeps), and take turns. A killed process loses nothing
// committed. Every connection waits up to 5 s for a lock held by another process
// sharing the folder.
//
// A full disk must not wedge the file: deleting rows needs room in the write-ahead log
// and a checkpoint may need the file to grow. So once the disk runs short of room the
// log is checkpointed every few dozen pages (what the disk holds is then mostly in the
// file, where deletions shrink it), and a small reserve file beside the database is
// given up when the disk fills, leaving room for the deletions that free space. While the disk is full new rows are refused;
// once there is room for the reserve again, they are taken again.
//
// A file found damaged (its integrity check fails when it is opened, or an operation
// meets a damaged page) is moved aside as "<name>.corrupt" and made anew from the
// schema, with the rows that can still be read carried over.
//
// A file that is gone (deleted, or its folder removed, while the store lives) or has
// lost its tables is made anew before the next operation, which then reaches the new
// file; a gone file is still open in the keeper, and the new one is a copy of it. While
// no new file can be made (the folder cannot be made or written), every operation fails
// as for a file that cannot be written; each episode is said once. A write-ahead log or
// index deleted while in use is written back into the file and a new log is begun, by the
// first process that has it open to take the file's lock, or by one that ends while
// another holds the lock; a process opening the file meanwhile waits a few seconds for that.
#include "platform/foundation/value.hpp"
#include "telemetry/pipeline/rddi_storage.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rddi {

// A column: its name and its constraint words ("INTEGER", "PRIMARY KEY", …).
using RDDIDBColumn = std::pair<std::string, std::vector<std::string>>;
// Tables in order, each with its columns in order.
using RDDIDBSchema = std::vector<std::pair<std::string, std::vector<RDDIDBColumn>>>;
// One value per column: null, integer (64-bit), string or data (a BLOB).
using RDDIDBRow = std::vector<platform::foundation::Value>;

// What the stores of one file in this process share (defined with the store).
struct RDDIDBSharedFile;

class RDDIDBStorage {
public:
    static constexpr long kDefaultMaxSizeInBytes = 10485760;
    static constexpr int kBusyTimeoutMilliseconds = 5000;
    // What an operation answers when another process holds the file's lock and the file
    // cannot be reached without it: the write-ahead log was replaced, or no log a holder of
    // the lock began stands beside the file, or the file is to be made. Nothing was done;
    // a later operation tries again. (SQLITE_BUSY, with an extended code of the store's own.)
    static constexpr int kHeldByAnotherProcess = 5 | (64 << 8);
    // How long a process about to open the file leaves it to another that still has the
    // file's deleted write-ahead log open: one with logs waiting tries the lock every 250 ms.
    static constexpr std::chrono::milliseconds kDeletedLogWait{kBusyTimeoutMilliseconds};
    // SQLite's own page limit of a new connection.
    static constexpr long kUnlimitedPageCount = 1073741823;
    // Room given up when the disk fills: enough for deletions of a few batches and the
    // checkpoint of the log frames a full disk leaves behind.
    static constexpr std::uintmax_t kReserveBytes = 512 * 1024;
    // Log frames between automatic checkpoints: SQLite's 1000 while the disk has room,
    // a few dozen once it has less than kShortRoomBytes (each checkpoint syncs, which
    // costs half the saves per second when done that often).
    static constexpr int kAutoCheckpointPages = 1000;
    static constexpr int kShortRoomAutoCheckpointPages = 32;
    static constexpr std::uintmax_t kShortRoomBytes = 8 * 1024 * 1024;

    // Creates or opens, migrates and versions the file now; while another process holds
    // the file's lock, the first operation does instead.
    RDDIDBStorage(std::optional<RDDIDBSchema> schema, std::uint64_t version, const std::string& filename);
    virtual ~RDDIDBStorage();
    RDDIDBStorage(const RDDIDBStorage&) = delete;
    RDDIDBStorage& operator=(const RDDIDBStorage&) = delete;

    // Opens a connection with the page limit set, runs the closure on it, closes it.
    int executeQueryUsingBlock(const std::function<int(sqlite3*)>& block);
    int executeNonSelectionQuery(const std::string& query, const RDDIStorageBindableArray* values = nullptr);
    // Empty when the database was unusable.
    std::vector<RDDIDBRow> executeSelectionQuery(const std::string& query, const RDDIStorageBindableArray* values);
    std::uint64_t countEntriesForTable(const std::string& table, const std::optional<std::string>& condition,
                                       const RDDIStorageBindableArray* values);
    bool createTable(const std::string& table, const std::vector<RDDIDBColumn>& columnsSchema);
    bool dropTable(const std::string& table);
    // Deletes the file with its write-ahead log and shared-memory index, closing the
    // keeper first: a stale log must never be applied to a new file of the same name.
    void dropDatabase();
    // The completion (may be empty) always gets the outcome, false when the file
    // cannot even be opened.
    void setMaxStorageSize(long sizeInBytes, const std::function<void(bool)>& completionHandler);

    // Hooks for a newly created file, and for a file of an older version.
    virtual void customizeDatabase(sqlite3* database);
    virtual void migrateDatabase(sqlite3* database, std::uint64_t fromVersion);

    const std::filesystem::path& dbFilePath() const { return dbFilePath_; }
    // "<file>-reserve" and "<file>.corrupt".
    std::filesystem::path reservePath() const;
    std::filesystem::path damagedPath() const;
    // Whether the disk was found full and has had no room since (looked at again now).
    bool isDiskFull();
    // The "file:" URL the database is opened with.
    std::string dbFileURL() const;
    long maxSizeInBytes() const { return maxSizeInBytes_; }
    long pageSize() const { return pageSize_; }
    const std::optional<RDDIDBSchema>& schema() const { return schema_; }

    // --- On an open handle ---
    static int configureSQLite();
    // Read-write, create, URI; a busy timeout and synchronous NORMAL. None on failure.
    static sqlite3* openDatabaseAtFileURL(const std::string& fileURL, int* result);
    static void closeDatabase(sqlite3* database);
    static int createTablesWithSchema(const std::optional<RDDIDBSchema>& schema, sqlite3* database);
    static std::string columnsQueryFromColumnsSchema(const std::vector<RDDIDBColumn>& columnsSchema);
    static std::map<std::string, std::map<std::string, std::size_t>> columnsIndexes(const RDDIDBSchema& schema);
    static bool tableExists(const std::string& table, sqlite3* database, int* result = nullptr);
    static std::uint64_t versionInOpenedDatabase(sqlite3* database, int* result);
    static int setVersion(std::uint64_t version, sqlite3* database);
    static void enableAutoVacuumInOpenedDatabase(sqlite3* database);
    static long getPageSizeInOpenedDatabase(sqlite3* database);
    static long getPageCountInOpenedDatabase(sqlite3* database);
    static long getMaxPageCountInOpenedDatabase(sqlite3* database);
    static int setMaxPageCount(long pageCount, sqlite3* database);
    static std::int64_t querySingleValue(const std::string& query, sqlite3* database, int* result = nullptr);
    static int executeNonSelectionQueryInOpenedDatabase(const std::string& query, sqlite3* database,
                                        const RDDIStorageBindableArray* values = nullptr);
    static std::vector<RDDIDBRow> executeSelectionQueryInOpenedDatabase(const std::string& query, sqlite3* database,
                                                        int* result, const RDDIStorageBindableArray* values);
    static int executeQuery(const std::string& query, sqlite3* database, const RDDIStorageBindableArray* values,
                            const std::function<int(sqlite3_stmt*)>& block);
    static platform::foundation::Value columnValueFromStatement(sqlite3_stmt* statement, int index);

protected:
    // What a recovery from a damaged file keeps.
    struct Recovery {
        // Rows (table, row id) not to carry over, e.g. rows whose deletion failed.
        std::function<bool(const std::string& table, std::int64_t rowId)> leaveOut;
        // AUTOINCREMENT sequences of the new file start above these: ids the process
        // still holds must not come to name new rows.
        std::map<std::string, std::int64_t> sequenceFloors;
    };

    struct DeferConfiguration {};
    // For subclasses: their hooks are only theirs once their constructor runs, so they
    // call configureStorage() at its end.
    RDDIDBStorage(DeferConfiguration, std::optional<RDDIDBSchema> schema, std::uint64_t version,
                  const std::string& filename);
    void configureStorage();

    // An operation met a damaged file since the last recovery.
    bool damageFound() const;
    // An operation found the file without a table of the schema; the next one makes it anew.
    bool tablesLost() const;
    // Moves the file (with its log) aside as "<name>.corrupt", makes a new one and carries
    // over the rows of the schema's tables that can be read; logs an ERROR line with
    // `reason`. Answers the number of rows carried over, none when no new file could
    // be made.
    std::optional<std::uint64_t> recoverDamagedDatabase(const std::string& reason, const Recovery& recovery);
    // After SQLITE_FULL on `database` for a row of about `rowBytes`: true when the disk,
    // not the page limit, is the cause (always, without a database: deletions never
    // meet the limit); the store then gives up its reserve and refuses new rows until
    // there is room again.
    bool noteFullDisk(sqlite3* database, std::size_t rowBytes);
    // After a write failed with `code`: true when the file or its folder cannot be
    // written (read-only, no permission); the first time, one ERROR line says so and why.
    bool noteUnwritable(int code);
    // After a write went through: the file can be written again (said when it could not).
    void noteWritable();
    // Before and after rows are deleted while the disk is full: the deletion must find
    // room in the write-ahead log, and the room it makes must go back to the disk.
    void prepareDeletion();
    void reclaimSpace();
    // For a file made anew while the process still holds row ids of the old one: per
    // table, the AUTOINCREMENT floor of the new file, so that no held id names a new row.
    virtual std::map<std::string, std::int64_t> heldRowIdFloors() const { return {}; }
    // Once the file is configured (when the store is made, or by its first operation when
    // another process held the lock then): a subclass completes what it needs of the file.
    virtual void didConfigure() {}
    // As the process ends while another process holds the file's lock: a write-ahead log of
    // the keeper's that was deleted meanwhile is written into the file, `pending` run on it
    // first (on the keeper, in a transaction; it goes into the log either way, for another
    // process that has the log open to write back). Done only when no other process has
    // the file open and no log was begun beside the file since; true when it was written.
    // The keeper is closed.
    bool writeBackDeletedLogAtExit(const std::function<int(sqlite3*)>& pending);

private:
    class FileLock;
    // Opens "<file>-lock" (never through a link; a non-file there is set aside); -1 when
    // no lock file can be opened.
    int openLockFile() const;
    // Configuring deferred because another process held the lock, done now; SQLITE_OK, or
    // kHeldByAnotherProcess while it still cannot be done.
    int ensureConfigured();
    // Whether the write-ahead log and index the names lead to are those a holder of the
    // file's lock began (recorded in the lock file): only such a log is read or written
    // without the lock.
    bool logNamesRecorded() const;
    // kHeldByAnotherProcess, said once (WARNING) until the file can be reached again.
    int holdBack();
    // Before this process first opens the file: kHeldByAnotherProcess while the
    // write-ahead log was deleted and another process still has the file open, for at
    // most kDeletedLogWait (that process has the log and writes it back once it takes the
    // lock; a log begun now would leave what it holds out of the file), else SQLITE_OK.
    int leaveDeletedLogToItsHolder();
    void configureHoldingLock();
    // SQLITE_NOTADB or SQLITE_CORRUPT for a file that cannot be read, or only in part, with
    // why in unreadable_ (empty for the empty file an interrupted first configuration leaves).
    int configureDatabase();
    // Before the file is first opened: a write-ahead log beside it that no store of the file
    // began (the lock file records the one begun last) and no process has open, another
    // store's or a copy put back, is moved aside unread with an ERROR line; SQLite would put
    // its pages over the file's. False when it is there and could not be moved.
    bool setAsideLogOfAnotherStore();
    bool keepReserve();
    void checkpointWhileDiskIsFull(int mode);
    // Free bytes on the disk holding the file, none when they cannot be read.
    std::optional<std::uintmax_t> availableBytes() const;
    std::uint64_t carryOverRows(const Recovery& recovery);
    void closeKeeper();
    void openKeeper();
    // The keeper's write-ahead log or index was deleted or replaced under its name.
    bool logIsReplaced() const;
    // Writes the keeper's log back into the file unless another process did, and removes
    // a log or index put under the names by hand, then closes the keeper.
    void followReplacedLog();
    // Before an operation: a file replaced under its name is followed, one that is gone
    // or has lost its tables is made anew. SQLITE_OK, or the code of an operation that
    // cannot reach a file.
    int followFile(FileLock& operating);
    int remakeFile(bool fileIsGone);
    // Copies the file the keeper still holds open, gone from its name, to `copy`, with the
    // number of rows of the schema's tables it holds; false, with why, when it could not.
    bool copyKeptFile(const std::filesystem::path& copy, std::uint64_t* rows, std::string* why);
    static void raiseSequences(sqlite3* database, const std::map<std::string, std::int64_t>& floors);

    std::optional<RDDIDBSchema> schema_;
    std::uint64_t version_;
    std::string filename_;
    std::filesystem::path dbFilePath_;
    long maxSizeInBytes_ = kDefaultMaxSizeInBytes;
    long pageSize_ = 0;
    bool damageFound_ = false;
    bool configurationDeferred_ = false;
    std::string unreadable_;
    // The keeper and the lock this process's stores of the file share.
    RDDIDBSharedFile* shared_ = nullptr;
};

}  // namespace rddi
