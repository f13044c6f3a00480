#include "telemetry/pipeline/rddi_log_db_storage.hpp"

#include "platform/foundation/base64.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/stored_test_log.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>

namespace {

namespace pf = platform::foundation;
using rddi::RDDIAbstractLog;
using rddi::RDDILogDBStorage;
using rddi::testkit::nameOf;
using rddi::testkit::StoredTestLog;
using rddi::testkit::TelemetryTestEnvironment;

std::filesystem::path logsPath() { return rddi::RDDIUtility::dezIdedevDirectoryURL() / "Logs.sqlite"; }

std::shared_ptr<RDDIAbstractLog> storedLog(const std::string& name, const std::string& token = {}) {
    auto log = std::make_shared<StoredTestLog>(name, "payload of " + name);
    if (!token.empty()) log->addTransmissionTargetToken(token);
    return log;
}

std::shared_ptr<rddi::RDDICommonSchemaLog> makeCommonSchemaLog(const std::string& name, const std::string& token) {
    auto log = std::make_shared<rddi::RDDICommonSchemaLog>();
    log->ver = rddi::RDDICommonSchemaLog::kVersion;
    log->name = name;
    log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.5);
    log->iKey = "o:" + token.substr(0, token.find('-'));
    log->addTransmissionTargetToken(token);
    return log;
}

struct Loaded {
    std::vector<std::string> names;
    std::optional<std::string> batchId;
    bool more = false;
};

Loaded load(RDDILogDBStorage& storage, const std::string& group, std::uint64_t limit,
            const std::optional<std::vector<std::string>>& keys = std::nullopt) {
    Loaded loaded;
    loaded.more = storage.loadLogsWithGroupId(group, limit, keys, [&](const auto& logs, const auto& batchId) {
        for (const auto& log : logs) loaded.names.push_back(nameOf(log));
        loaded.batchId = batchId;
    });
    return loaded;
}

// Runs SQL on the file directly, as another program would.
void sql(const std::string& statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(logsPath().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

std::string scalarText(const std::string& query) {
    sqlite3* db = nullptr;
    sqlite3_open(logsPath().c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    std::string value = "<none>";
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(statement, 0);
        value = text ? reinterpret_cast<const char*>(text) : "<null>";
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

// The leaf page of "logs" that holds the row at `position` (0-based, in id order).
long leafPageHoldingRow(int position) {
    sqlite3* db = nullptr;
    sqlite3_open(logsPath().c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    long page = -1;
    sqlite3_prepare_v2(db, "SELECT pageno, ncell FROM dbstat WHERE name = 'logs' AND pagetype = 'leaf' ORDER BY path",
                       -1, &statement, nullptr);
    for (int seen = 0; sqlite3_step(statement) == SQLITE_ROW;) {
        seen += sqlite3_column_int(statement, 1);
        if (seen > position) {
            page = sqlite3_column_int64(statement, 0);
            break;
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return page;
}

// Writes zeros over one page of the file, with the log checkpointed into it first, and
// makes a change beside it so that connections drop what they cached of the file.
void zeroPage(long page) {
    sql("PRAGMA wal_checkpoint(TRUNCATE);");
    const long size = std::stol(scalarText("PRAGMA page_size"));
    {
        std::fstream file(logsPath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((page - 1) * size);
        const std::string zeros(static_cast<std::size_t>(size), '\0');
        file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    sql("PRAGMA user_version = 5;");
}

std::set<std::string> namesInFile() {
    std::set<std::string> names;
    RDDILogDBStorage reader;
    for (const auto& log : reader.logsFromDBWithGroupId("G")) names.insert(nameOf(log));
    return names;
}

std::string archivedText(const std::string& name) {
    StoredTestLog log(name, "payload of " + name);
    return pf::base64Encoded(pf::KeyedArchiver::archivedData(log));
}

// The transactions committed to the write-ahead log since it was last emptied: its
// commit frames (those carrying the file's size), as far as the frames carry its salt.
int commitsInLog() {
    std::ifstream file(logsPath().string() + "-wal", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    if (bytes.size() < 32) return 0;
    const std::size_t frame = 24 + word(8);
    int commits = 0;
    for (std::size_t at = 32; at + frame <= bytes.size(); at += frame) {
        if (bytes.compare(at + 8, 8, bytes, 16, 8) != 0) break;
        commits += word(at + 4) != 0;
    }
    return commits;
}

class LogDBStorageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StoredTestLog::registerArchiveClass(); }
    TelemetryTestEnvironment env;
};

TEST_F(LogDBStorageTest, LoadsComeByPriorityThenAgeWithTheMoreAnswer) {
    RDDILogDBStorage storage;
    EXPECT_EQ(scalarText("PRAGMA user_version"), "5");
    EXPECT_EQ(scalarText("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name LIKE 'ix_logs_%'"), "2");
    ASSERT_TRUE(storage.saveLog(storedLog("normal"), "A", rddi::RDDIFlagsNormal));
    ASSERT_TRUE(storage.saveLog(storedLog("critical"), "A", rddi::RDDIFlagsCritical));
    ASSERT_FALSE(storage.saveLog(nullptr, "A", rddi::RDDIFlagsNormal));
    EXPECT_EQ(storage.countLogs(), 2u);
    EXPECT_EQ(scalarText("SELECT priority FROM logs WHERE id = 2"), "2");

    auto first = load(storage, "A", 1);
    EXPECT_EQ(first.names, std::vector<std::string>{"critical"});
    EXPECT_TRUE(first.more);
    ASSERT_TRUE(first.batchId);
    auto second = load(storage, "A", 1);  // the first batch is in flight
    EXPECT_EQ(second.names, std::vector<std::string>{"normal"});
    EXPECT_FALSE(second.more);
    auto empty = load(storage, "A", 1);
    EXPECT_TRUE(empty.names.empty());
    EXPECT_FALSE(empty.batchId);
    EXPECT_EQ(storage.batchCount(), 2u);

    storage.deleteLogsWithBatchId(*first.batchId, "A");
    storage.deleteLogsWithBatchId(*first.batchId, "A");  // gone already: nothing happens
    storage.deleteLogsWithBatchId("no such batch", "A");
    EXPECT_EQ(storage.countLogs(), 1u);
    EXPECT_EQ(storage.batchCount(), 1u);

    // Exactly the limit: all of them and no more; one beyond: the limit and more.
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(storage.saveLog(storedLog("b" + std::to_string(i)), "B", 1));
    {
        RDDILogDBStorage reopened;  // a new process: nothing in flight
        auto fifty = load(reopened, "B", 50);
        EXPECT_EQ(fifty.names.size(), 50u);
        EXPECT_EQ(fifty.names.front(), "b0");
        EXPECT_FALSE(fifty.more);
        ASSERT_TRUE(reopened.saveLog(storedLog("b50"), "B", 1));
        // Another store (another process) never takes rows a living store is sending.
        RDDILogDBStorage beside;
        EXPECT_EQ(load(beside, "B", 100).names, std::vector<std::string>{"b50"});
    }
    RDDILogDBStorage again;
    auto limited = load(again, "B", 50);
    EXPECT_EQ(limited.names.size(), 50u);
    EXPECT_TRUE(limited.more);
    EXPECT_EQ(load(again, "B", std::numeric_limits<std::uint64_t>::max()).names, std::vector<std::string>{"b50"});
}

TEST_F(LogDBStorageTest, BatchesBelongToTheirOwnGroupNotToGroupsSharingAPrefix) {
    RDDILogDBStorage storage;
    for (const std::string group : {"Crashes", "CrashesBuffer", "Analytics", "Analytics_critical"}) {
        ASSERT_TRUE(storage.saveLog(storedLog(group + "-1"), group, 2));
        ASSERT_TRUE(storage.saveLog(storedLog(group + "-2"), group, 2));
    }
    const auto buffered = load(storage, "CrashesBuffer", 1);
    const auto critical = load(storage, "Analytics_critical", 1);
    ASSERT_EQ(buffered.names, std::vector<std::string>{"CrashesBuffer-1"});
    ASSERT_EQ(critical.names, std::vector<std::string>{"Analytics_critical-1"});

    // Disabling the shorter-named units must not forget the longer ones' batches.
    EXPECT_EQ(storage.deleteLogsWithGroupId("Crashes").size(), 2u);
    EXPECT_EQ(storage.deleteLogsWithGroupId("Analytics").size(), 2u);
    EXPECT_EQ(load(storage, "CrashesBuffer", 10).names, std::vector<std::string>{"CrashesBuffer-2"});
    EXPECT_EQ(load(storage, "Analytics_critical", 10).names, std::vector<std::string>{"Analytics_critical-2"});
    EXPECT_EQ(storage.countLogs(), 4u);

    // A group id that would break a pasted statement is bound like any other.
    ASSERT_TRUE(storage.saveLog(storedLog("quoted"), "it's', 'CrashesBuffer", 1));
    EXPECT_EQ(storage.deleteLogsWithGroupId("it's', 'CrashesBuffer").size(), 1u);
    EXPECT_EQ(storage.countLogs(), 4u);
}

TEST_F(LogDBStorageTest, IdsBeyondThirtyTwoBitsAndMoreExcludedIdsThanSqliteParameters) {
    {
        RDDILogDBStorage storage;
        // A row id above 2^32 whose low 32 bits name another row.
        const std::int64_t big = (std::int64_t{1} << 32) + 7;
        sql("INSERT INTO logs (id, groupId, log, priority) VALUES (7, 'G', '" + archivedText("small") + "', 1);" +
            "INSERT INTO logs (id, groupId, log, priority) VALUES (" + std::to_string(big) + ", 'G', '" +
            archivedText("big") + "', 2);");
        const auto batch = load(storage, "G", 1);
        ASSERT_EQ(batch.names, std::vector<std::string>{"big"});
        storage.deleteLogsWithBatchId(*batch.batchId, "G");
        EXPECT_EQ(scalarText("SELECT group_concat(id) FROM logs"), "7");
    }
    sql("DELETE FROM logs;");
    RDDILogDBStorage storage;
    constexpr int kRows = 33000;
    std::string insert = "BEGIN;";
    const auto text = archivedText("bulk");
    for (int i = 0; i < kRows; ++i) insert += "INSERT INTO logs (groupId, log, priority) VALUES ('H', '" + text + "', 1);";
    sql(insert + "COMMIT;");
    const auto everything = load(storage, "H", kRows);
    EXPECT_EQ(everything.names.size(), static_cast<std::size_t>(kRows));
    ASSERT_TRUE(storage.saveLog(storedLog("late"), "H", 1));
    const auto rest = load(storage, "H", 10);
    EXPECT_EQ(rest.names, std::vector<std::string>{"late"});
    storage.deleteLogsWithBatchId(*everything.batchId, "H");
    EXPECT_EQ(storage.countLogs(), 1u);
}

TEST_F(LogDBStorageTest, AFullStoreEvictsOldestEqualOrLowerPriorityOnly) {
    RDDILogDBStorage storage;
    std::optional<bool> resized;
    storage.setMaxStorageSize(65536, [&](bool ok) { resized = ok; });
    ASSERT_EQ(resized, true);
    // One log to a page, so that a full store has no room left in any page.
    const std::string filler(2500, 'x');
    auto bigLog = [&](const std::string& name) {
        return std::make_shared<StoredTestLog>(name, filler + name);
    };
    int normal = 0;
    while (storage.countLogs() == static_cast<std::uint64_t>(normal) && normal < 200) {
        if (!storage.saveLog(bigLog("n" + std::to_string(normal)), "G", 1)) break;
        ++normal;
    }
    ASSERT_GT(normal, 3);
    ASSERT_LT(normal, 200) << "never filled up";
    // Eviction kept the count flat: the oldest normal row made room.
    const auto before = storage.countLogs();
    const auto oldest = scalarText("SELECT MIN(id) FROM logs");
    env.clearLogs();
    ASSERT_TRUE(storage.saveLog(bigLog("critical"), "Other", 2));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelDebug, "Deleted a log with id " + oldest + " to store a new log."));
    EXPECT_EQ(scalarText("SELECT COUNT(*) FROM logs WHERE id = " + oldest), "0");
    EXPECT_LE(storage.countLogs(), before);

    // Fill up with critical rows only, then nothing of lower priority can get in,
    // whatever its upper flag bits say.
    int critical = 0;
    while (scalarText("SELECT COUNT(*) FROM logs WHERE priority = 1") != "0" && critical < 400) {
        ASSERT_TRUE(storage.saveLog(bigLog("c" + std::to_string(critical++)), "G", 2));
    }
    ASSERT_EQ(scalarText("SELECT COUNT(*) FROM logs WHERE priority = 1"), "0");
    const auto full = storage.countLogs();
    for (const rddi::RDDIFlags flags : {rddi::RDDIFlags{1}, rddi::RDDIFlags{0x101}, rddi::RDDIFlags{0xFF01}}) {
        env.clearLogs();
        EXPECT_FALSE(storage.saveLog(bigLog("late normal"), "G", flags)) << flags;
        EXPECT_TRUE(env.logged(rddi::RDDILogLevelError,
                               "Storage is full and no logs with equal or lower priority exist; discarding the log."));
        EXPECT_EQ(storage.countLogs(), full);
    }
    // A critical log still evicts the oldest critical row.
    ASSERT_TRUE(storage.saveLog(bigLog("newest"), "G", 0x102));
    EXPECT_EQ(scalarText("SELECT priority FROM logs ORDER BY id DESC LIMIT 1"), "2");

    // A log larger than the whole store is refused outright.
    env.clearLogs();
    EXPECT_FALSE(storage.saveLog(std::make_shared<StoredTestLog>("huge", std::string(70000, 'h')), "G", 2));
    EXPECT_EQ(storage.countLogs(), full);

    // A store at its limit still claims what it loads (another store gets none of it),
    // and the next save makes room again.
    const auto batch = load(storage, "G", 3);
    ASSERT_EQ(batch.names.size(), 3u);
    EXPECT_EQ(scalarText("SELECT COUNT(*) FROM claims"), "3");
    RDDILogDBStorage other;
    const auto rest = load(other, "G", 100);
    EXPECT_EQ(rest.names.size(), full - 3);
    ASSERT_TRUE(storage.saveLog(bigLog("after claims"), "G", 2));
    EXPECT_LE(std::stol(scalarText("PRAGMA page_count")), 16);

    // Claims of a large batch need pages of their own, which a store at its limit has not;
    // a batch whose claims fill more than a few pages is no sign of a full disk.
    for (const auto& [bytes, saves] : {std::pair{98304L, 1000}, std::pair{393216L, 3000}}) {
        SCOPED_TRACE(bytes);
        TelemetryTestEnvironment scratch;
        RDDILogDBStorage small;
        small.setMaxStorageSize(bytes, nullptr);
        for (int i = 0; i < saves; ++i) ASSERT_TRUE(small.saveLog(storedLog("s" + std::to_string(i)), "S", 1));
        ASSERT_LT(small.countLogs(), static_cast<std::uint64_t>(saves)) << "never reached the limit";
        const auto large = load(small, "S", static_cast<std::uint64_t>(saves));
        EXPECT_EQ(large.names.size(), small.countLogs());
        EXPECT_EQ(scalarText("SELECT COUNT(*) FROM claims"), std::to_string(large.names.size()));
        const auto logs = scratch.capturedLogs();
        EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                                [](const auto& e) { return e.message.find("The disk holding") != std::string::npos; }),
                  0);
    }
}

TEST_F(LogDBStorageTest, AGroupSavedAtTheSizeLimitEvictsWithinOneTransaction) {
    RDDILogDBStorage storage;
    storage.setMaxStorageSize(98304, nullptr);
    int saved = 0;
    while (storage.countLogs() == static_cast<std::uint64_t>(saved) && saved < 2000) {
        ASSERT_TRUE(storage.saveLog(storedLog("old" + std::to_string(saved)), "G", 1));
        ++saved;
    }
    ASSERT_LT(saved, 2000) << "never reached the limit";
    const auto full = storage.countLogs();

    // An insert that meets the limit inside the group must undo only itself: were the
    // transaction undone, every log would be saved again on its own, a commit each.
    sql("PRAGMA wal_checkpoint(TRUNCATE);");
    ASSERT_EQ(commitsInLog(), 0);
    std::vector<rddi::RDDIStorage::LogToSave> group;
    for (int i = 0; i < 40; ++i) group.emplace_back(storedLog("new" + std::to_string(i)), rddi::RDDIFlags{1});
    const auto outcomes = storage.saveLogs(group, "G");
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), RDDILogDBStorage::SaveOutcome::stored), 40);
    EXPECT_EQ(commitsInLog(), 1);
    // In place of the oldest, once each.
    EXPECT_LE(storage.countLogs(), full);
    EXPECT_EQ(scalarText("SELECT COUNT(*) - COUNT(DISTINCT log) FROM logs"), "0");
}

TEST_F(LogDBStorageTest, ALogTheSizeLimitRefusesIsNeverTakenForAFullDisk) {
    // A row's pages are guessed from its archive's size; its group id is not counted, and
    // a long one also fills pages of the group index. Such a row meets the limit while the
    // store looks far from it: only the disk itself can say that it is full.
    RDDILogDBStorage storage;
    storage.setMaxStorageSize(48 * 4096, nullptr);
    for (int i = 0; std::stol(scalarText("PRAGMA page_count")) < 34; ++i) {
        ASSERT_LT(i, 1000);
        ASSERT_TRUE(storage.saveLog(storedLog("old" + std::to_string(i)), "G", 1));
    }
    env.clearLogs();
    const std::string longGroup(40000, 'g');
    EXPECT_TRUE(storage.saveLog(storedLog("long"), longGroup, 1));
    EXPECT_FALSE(storage.isDiskFull());
    for (const auto& entry : env.capturedLogs()) {
        EXPECT_LT(entry.level, rddi::RDDILogLevelError) << entry.message;
    }
    EXPECT_EQ(storage.countLogsWithGroupId(longGroup), 1u);
    EXPECT_TRUE(storage.saveLog(storedLog("after"), "G", 1));
}

TEST_F(LogDBStorageTest, TargetTokensAreStoredEncryptedAndRestoredOnLoad) {
    const auto original = makeCommonSchemaLog("cs-a", "keyA-secret-token");
    std::string storedToken;
    {
        RDDILogDBStorage storage;
        ASSERT_TRUE(storage.saveLog(original, "G/one", 1));
        ASSERT_TRUE(storage.saveLog(makeCommonSchemaLog("cs-b", "keyB-other-token"), "G/one", 1));
        // Only Common Schema rows carry a token.
        ASSERT_TRUE(storage.saveLog(storedLog("plain", "keyC-not-kept"), "G/one", 1));
        storedToken = scalarText("SELECT targetToken FROM logs WHERE id = 1");
        EXPECT_EQ(storedToken.find("secret"), std::string::npos);
        EXPECT_EQ(scalarText("SELECT targetKey FROM logs WHERE id = 1"), "keyA");
        EXPECT_EQ(scalarText("SELECT targetToken FROM logs WHERE id = 3"), "<null>");

        // Excluding a key also leaves out rows without a key.
        EXPECT_EQ(load(storage, "G/one", 10, std::vector<std::string>{"keyA"}).names,
                  std::vector<std::string>{"RDDICommonSchemaLog"});
    }
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    {
        RDDILogDBStorage reopened;
        reopened.loadLogsWithGroupId("G/one", 10, std::nullopt, [&](const auto& loaded, const auto&) { logs = loaded; });
        ASSERT_EQ(logs.size(), 3u);
        EXPECT_TRUE(logs[0]->isEqual(*original));
        EXPECT_EQ(dynamic_cast<const rddi::RDDICommonSchemaLog&>(*logs[1]).name, "cs-b");
        EXPECT_EQ(logs[0]->transmissionTargetTokens(), std::set<std::string>{"keyA-secret-token"});
        EXPECT_TRUE(logs[2]->transmissionTargetTokens().empty());
    }

    // A tampered token and an empty one: the logs come back without a token.
    auto raw = *pf::base64Decoded(storedToken);
    raw.back() ^= 0x01;
    sql("UPDATE logs SET targetToken = '" + pf::base64Encoded(raw) + "' WHERE id = 1;");
    sql("UPDATE logs SET targetToken = '' WHERE id = 2;");
    RDDILogDBStorage third;
    env.clearLogs();
    logs.clear();
    third.loadLogsWithGroupId("G/one", 10, std::nullopt, [&](const auto& loaded, const auto&) { logs = loaded; });
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_TRUE(logs[0]->transmissionTargetTokens().empty());
    EXPECT_TRUE(logs[1]->transmissionTargetTokens().empty());
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Authenticate MAC exception. Could not authenticate MAC value."));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Failed to decrypt the target token for log with Id 1."));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Unexpected empty target token for log with Id 2."));
}

TEST_F(LogDBStorageTest, UndecodableRowsAreDeletedDuringTheLoad) {
    RDDILogDBStorage storage;
    ASSERT_TRUE(storage.saveLog(storedLog("good-1"), "G", 1));
    sql("INSERT INTO logs (groupId, log, priority) VALUES ('G', '%%% not base64 %%%', 1);"
        "INSERT INTO logs (groupId, log, priority) VALUES ('G', 'bm90IGFuIGFyY2hpdmU=', 1);");
    ASSERT_TRUE(storage.saveLog(storedLog("good-2"), "G", 1));
    // Base64 with line breaks in it still decodes.
    auto text = archivedText("wrapped");
    text.insert(10, "\r\n");
    sql("INSERT INTO logs (groupId, log, priority) VALUES ('G', '" + text + "', 1);");

    const auto loaded = load(storage, "G", 10);
    EXPECT_EQ(loaded.names, (std::vector<std::string>{"good-1", "good-2", "wrapped"}));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Deserialization failed for log with Id 2"));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Deserialization failed for log with Id 3"));
    EXPECT_EQ(storage.countLogs(), 3u);
}

TEST_F(LogDBStorageTest, DeletingAGroupStreamsEveryLogAndLeavesOtherGroups) {
    RDDILogDBStorage storage;
    constexpr int kRows = 1234;  // more than two chunks
    std::string insert = "BEGIN;";
    for (int i = 0; i < kRows; ++i) {
        insert += "INSERT INTO logs (groupId, log, priority) VALUES ('Big', '" + archivedText("big" + std::to_string(i)) +
                  "', 1);";
    }
    sql(insert + "INSERT INTO logs (groupId, log, priority) VALUES ('Big', 'garbage', 1); COMMIT;");
    ASSERT_TRUE(storage.saveLog(storedLog("keep"), "Small", 1));
    const auto inFlight = load(storage, "Big", 5);
    ASSERT_EQ(inFlight.names.size(), 5u);

    std::vector<std::string> seen;
    storage.deleteLogsWithGroupId("Big", [&](const auto& log) { seen.push_back(nameOf(log)); });
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kRows));
    EXPECT_EQ(seen.front(), "big0");
    EXPECT_EQ(seen.back(), "big" + std::to_string(kRows - 1));
    EXPECT_EQ(storage.countLogs(), 1u);
    EXPECT_EQ(storage.batchCount(), 0u);
    EXPECT_EQ(storage.logsFromDBWithGroupId("Small").size(), 1u);
    EXPECT_EQ(RDDILogDBStorage::buildKeyFormatWithCount(3), "(?,?,?)");
}

TEST_F(LogDBStorageTest, RowsOfAFileWrittenAsBase64TextLoadBesideNewArchiveBytes) {
    // The file exactly as earlier versions made it: same table, indexes, version and
    // journal, every log stored as Base64 text.
    std::filesystem::create_directories(logsPath().parent_path());
    sql("PRAGMA auto_vacuum = FULL;"
        "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, "
        "\"log\" TEXT NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER);"
        "CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\");"
        "CREATE INDEX \"ix_logs_groupId_priority_id\" ON \"logs\" (\"groupId\", \"priority\" DESC, \"id\");"
        "PRAGMA user_version = 5; PRAGMA journal_mode = WAL;");
    sql("INSERT INTO logs (groupId, log, priority) VALUES ('G', '" + archivedText("old-normal") + "', 1);"
        "INSERT INTO logs (groupId, log, priority) VALUES ('G', '" + archivedText("old-critical") + "', 2);"
        "INSERT INTO logs (groupId, log, priority) VALUES ('Other', '" + archivedText("old-other") + "', 1);");

    RDDILogDBStorage storage;
    ASSERT_EQ(storage.countLogs(), 3u) << "the file was taken for an old layout";
    ASSERT_TRUE(storage.saveLog(storedLog("new-normal"), "G", 1));
    ASSERT_TRUE(storage.saveLog(storedLog("new-critical"), "G", 2));
    // Bytes that are no archive are dropped on load like bad text.
    sql("INSERT INTO logs (groupId, log, priority) VALUES ('G', x'62706c6973743030ff', 1);");

    struct Row {
        std::string id;
        std::string type;
    };
    for (const Row& row : {Row{"1", "text"}, Row{"2", "text"}, Row{"3", "text"}, Row{"4", "blob"}, Row{"5", "blob"}}) {
        EXPECT_EQ(scalarText("SELECT typeof(log) FROM logs WHERE id = " + row.id), row.type) << row.id;
    }
    // The new form is the archive itself, not its text.
    EXPECT_EQ(scalarText("SELECT length(log) < 300 FROM logs WHERE id = 4"), "1");

    const auto first = load(storage, "G", 3);
    EXPECT_EQ(first.names, (std::vector<std::string>{"old-critical", "new-critical", "old-normal"}));
    EXPECT_TRUE(first.more);
    const auto second = load(storage, "G", 3);
    EXPECT_EQ(second.names, std::vector<std::string>{"new-normal"});
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Deserialization failed for log with Id 6"));
    storage.deleteLogsWithBatchId(*first.batchId, "G");
    EXPECT_EQ(scalarText("SELECT group_concat(id) FROM logs"), "3,4");

    std::vector<std::string> deleted;
    storage.deleteLogsWithGroupId("Other", [&](const auto& log) { deleted.push_back(nameOf(log)); });
    EXPECT_EQ(deleted, std::vector<std::string>{"old-other"});
    EXPECT_EQ(scalarText("PRAGMA integrity_check"), "ok");
}

TEST_F(LogDBStorageTest, ADamagedPageMetByAnOperationMovesTheFileAsideAndCarriesOverWhatCanBeRead) {
    // 100 normal, 30 critical in the middle of the table, 100 normal; the 30 critical
    // ones are a batch in flight. Each case damages the page of one row and meets it.
    struct Case {
        const char* name;
        int damagedRow;
        std::function<void(RDDILogDBStorage&, const std::string& batchId)> meet;
        bool carriesTheBatch;  // false: the batch was delivered and must not come back
    };
    const Case cases[] = {
        {"the deletion of a delivered batch", 115,
         [](RDDILogDBStorage& s, const std::string& batchId) { s.deleteLogsWithBatchId(batchId, "G"); }, false},
        {"a load", 50, [](RDDILogDBStorage& s, const std::string&) { load(s, "G", 500); }, true},
        {"a group deletion", 50, [](RDDILogDBStorage& s, const std::string&) { s.deleteLogsWithGroupId("Other"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TelemetryTestEnvironment scratch;
        RDDILogDBStorage storage;
        std::vector<RDDILogDBStorage::LogToSave> logs;
        for (int i = 0; i < 230; ++i) {
            const bool critical = i >= 100 && i < 130;
            logs.emplace_back(storedLog((critical ? "c" : "n") + std::to_string(i)), critical ? 2 : 1);
        }
        const auto saved = storage.saveLogs(logs, "G");
        ASSERT_EQ(std::count(saved.begin(), saved.end(), RDDILogDBStorage::SaveOutcome::stored), 230);
        const auto batch = load(storage, "G", 30);
        ASSERT_EQ(batch.names.front(), "c100");
        const auto everything = namesInFile();
        const long page = leafPageHoldingRow(c.damagedRow);
        ASSERT_GT(page, 1);
        zeroPage(page);

        c.meet(storage, *batch.batchId);
        EXPECT_TRUE(std::filesystem::exists(logsPath().string() + ".corrupt"));
        const auto errors = scratch.capturedLogs();
        EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                                [](const auto& e) {
                                    return e.level == rddi::RDDILogLevelError &&
                                           e.message.find("is damaged (a damaged page was met)") != std::string::npos;
                                }),
                  1);
        EXPECT_EQ(scalarText("PRAGMA integrity_check"), "ok");
        const auto carried = namesInFile();
        // Only the damaged page's rows are lost, and a delivered batch stays gone.
        std::size_t lost = 0;
        for (const auto& name : everything) {
            const bool inBatch = name.starts_with("c");
            if (inBatch && !c.carriesTheBatch) {
                EXPECT_FALSE(carried.contains(name)) << name;
            } else {
                lost += !carried.contains(name);
            }
        }
        // About twenty of these small rows fill a page.
        EXPECT_LE(lost, 25u);
        EXPECT_EQ(lost > 0, c.carriesTheBatch);
        // New rows never take an id the process still holds in a batch.
        ASSERT_TRUE(storage.saveLog(storedLog("after"), "G", 1));
        EXPECT_EQ(scalarText("SELECT MAX(id) > 230 FROM logs"), "1");
        if (c.carriesTheBatch) {
            storage.deleteLogsWithBatchId(*batch.batchId, "G");
            for (const auto& name : namesInFile()) EXPECT_FALSE(name.starts_with("c")) << name;
        }
    }
}

TEST_F(LogDBStorageTest, StoresSharingTheFileNeverLoadTheSameRowsWhileTheirLoaderLives) {
    RDDILogDBStorage a;
    RDDILogDBStorage b;
    for (int i = 0; i < 120; ++i) ASSERT_TRUE(a.saveLog(storedLog("r" + std::to_string(i)), "G", 1));
    const auto first = load(a, "G", 50);
    const auto second = load(b, "G", 50);
    EXPECT_EQ(second.names.front(), "r50");
    EXPECT_EQ(load(a, "G", 50).names.size(), 20u);
    EXPECT_TRUE(load(b, "G", 50).names.empty());

    // A failed batch goes back: the other store sends it; its own loads still skip it.
    a.releaseLogsWithBatchId(*first.batchId, "G");
    EXPECT_TRUE(load(a, "G", 50).names.empty());
    EXPECT_EQ(load(b, "G", 50).names, first.names);

    // Rows claimed by another process: held while it lives, free once it is gone.
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    ASSERT_TRUE(a.saveLog(storedLog("theirs"), "Other", 1));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(hold[1]);
        RDDILogDBStorage theirs;
        const bool claimed = load(theirs, "Other", 10).names.size() == 1;
        char byte = claimed ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) != 1 || ::read(hold[0], &byte, 1) < 0) ::_exit(2);
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    EXPECT_TRUE(load(b, "Other", 10).names.empty());
    ::close(hold[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(load(b, "Other", 10).names, std::vector<std::string>{"theirs"});
    for (int fd : {ready[0], ready[1], hold[0]}) ::close(fd);

    // A store that closed holds nothing either, and deleted rows take their claims along.
    {
        RDDILogDBStorage gone;
        ASSERT_TRUE(gone.saveLog(storedLog("left"), "Left", 1));
        EXPECT_EQ(load(gone, "Left", 10).names.size(), 1u);
    }
    EXPECT_EQ(load(a, "Left", 10).names, std::vector<std::string>{"left"});
    a.deleteLogsWithGroupId("Left");
    EXPECT_EQ(scalarText("SELECT COUNT(*) FROM claims WHERE id NOT IN (SELECT id FROM logs)"), "0");
}

TEST_F(LogDBStorageTest, AnOlderSchemaVersionIsDroppedAndRebuilt) {
    {
        RDDILogDBStorage storage;
        ASSERT_TRUE(storage.saveLog(storedLog("old"), "G", 1));
    }
    sql("DROP INDEX ix_logs_groupId_priority_id; PRAGMA user_version = 4;");
    RDDILogDBStorage storage;
    EXPECT_EQ(storage.countLogs(), 0u);
    EXPECT_EQ(scalarText("PRAGMA user_version"), "5");
    EXPECT_EQ(scalarText("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND name LIKE 'ix_logs_%'"), "2");
    EXPECT_TRUE(storage.saveLog(storedLog("new"), "G", 1));
}

TEST_F(LogDBStorageTest, ConnectionsSeeOtherWritersAndAFileThatIsGoneIsMadeAnewAboveTheIdsInFlight) {
    RDDILogDBStorage storage;
    ASSERT_TRUE(storage.saveLog(storedLog("mine"), "G", 1));
    // Another program's row is seen through the shared cache.
    sql("INSERT INTO logs (groupId, log, priority) VALUES ('G', '" + archivedText("theirs") + "', 1)");
    EXPECT_EQ(storage.countLogs(), 2u);
    sql("DELETE FROM logs");

    const auto goneLines = [&] {
        const auto logs = env.capturedLogs();
        return std::count_if(logs.begin(), logs.end(), [](const auto& e) {
            return e.level == rddi::RDDILogLevelError && e.message.find("a new one was made") != std::string::npos;
        });
    };
    struct Case {
        const char* name;
        bool carried;  // the store still has the file open: its rows go into the new one
        std::function<void()> takeAway;
    };
    const Case cases[] = {
        {"the file with its log and index", true,
         [] { for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(logsPath().string() + suffix); }},
        {"the whole folder", true, [] { std::filesystem::remove_all(logsPath().parent_path()); }},
        {"its table dropped by another program", false, [] { sql("DROP TABLE logs"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(storage.saveLog(storedLog("sent"), "G", 1));
        ASSERT_TRUE(storage.saveLog(storedLog("sent too"), "G", 1));
        const auto inFlight = load(storage, "G", 10);
        ASSERT_EQ(inFlight.names.size(), 2u);
        const long highest = std::stol(scalarText("SELECT MAX(id) FROM logs"));
        env.clearLogs();
        c.takeAway();
        // Not saved into the vanished file (or lost to a missing table): into a new one.
        ASSERT_TRUE(storage.saveLog(storedLog("new"), "G", 1));
        ASSERT_TRUE(storage.saveLog(storedLog("newer"), "G", 1));
        EXPECT_EQ(storage.countLogs(), c.carried ? 4u : 2u);
        EXPECT_EQ(goneLines(), 1);
        // The batch in flight names ids of the old file: its delivery must delete the
        // rows it carried, and not the new rows.
        EXPECT_EQ(scalarText("SELECT COUNT(*) FROM logs WHERE id > " + std::to_string(highest)), "2");
        EXPECT_TRUE(load(storage, "G", 10).names == (std::vector<std::string>{"new", "newer"}));
        storage.deleteLogsWithBatchId(*inFlight.batchId, "G");
        EXPECT_EQ(storage.countLogs(), 2u);
        sql("DELETE FROM logs");
    }
    EXPECT_EQ(std::filesystem::status(logsPath().parent_path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
}

TEST_F(LogDBStorageTest, ALogOrIndexReplacedByAnotherFileIsNeverReadAsTheFilesLogOnceTheStoreCloses) {
    // The early logs are sent and deleted after the late ones were kept; right before the store
    // closes, its write-ahead log or index is replaced by an older copy (holding the early rows,
    // not the late ones) or by a file that is no log. The file then holds the late logs only.
    const std::string wal = logsPath().string() + "-wal", shm = logsPath().string() + "-shm";
    const std::pair<const char*, std::vector<std::string>> cases[] = {  // what is replaced by an older copy
        {"log", {wal}}, {"log and index", {wal, shm}}, {"index", {shm}}, {"no log (both)", {}}};
    for (const auto& [name, older] : cases) {
        SCOPED_TRACE(name);
        std::set<std::string> late;
        {
            RDDILogDBStorage storage;
            for (int i = 0; i < 30; ++i) ASSERT_TRUE(storage.saveLog(storedLog("early" + std::to_string(i)), "G", 1));
            for (const auto& path : older)
                std::filesystem::copy_file(path, path + ".older", std::filesystem::copy_options::overwrite_existing);
            for (int i = 0; i < 30; ++i) {
                late.insert("late" + std::to_string(i));
                ASSERT_TRUE(storage.saveLog(storedLog("late" + std::to_string(i)), "G", 1));
            }
            const auto sent = load(storage, "G", 30);
            ASSERT_EQ(sent.names.front(), "early0");
            storage.deleteLogsWithBatchId(*sent.batchId, "G");
            for (const auto& path : older) std::filesystem::rename(path + ".older", path);
            for (const auto& path : {wal, shm}) {
                if (!older.empty()) continue;
                std::filesystem::remove(path);
                std::ofstream(path) << std::string(40000, 'z');
            }
        }
        EXPECT_EQ(scalarText("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(namesInFile(), late);
        RDDILogDBStorage().deleteLogsWithGroupId("G");
    }
}

TEST_F(LogDBStorageTest, AKilledWriterLosesNoCommittedLogAndLeavesASoundFile) {
    std::set<std::string> committed;
    for (int round = 0; round < 50; ++round) {
        int reports[2];
        ASSERT_EQ(::pipe(reports), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(reports[0]);
            RDDILogDBStorage storage;
            for (int i = 0;; ++i) {
                const auto name = std::to_string(round) + "-" + std::to_string(i) + "\n";
                if (storage.saveLog(storedLog(name), "Kill", 1)) {
                    if (::write(reports[1], name.data(), name.size()) < 0) ::_exit(1);
                }
            }
        }
        ::close(reports[1]);
        // Kill after a varying number of reported saves, mid-write as likely as not.
        const int wanted = 1 + (round * 7) % 23;
        std::string buffer;
        int received = 0;
        char chunk[256];
        while (received < wanted) {
            const ssize_t n = ::read(reports[0], chunk, sizeof chunk);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            received = static_cast<int>(std::count(buffer.begin(), buffer.end(), '\n'));
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        for (ssize_t n; (n = ::read(reports[0], chunk, sizeof chunk)) > 0;) buffer.append(chunk, static_cast<std::size_t>(n));
        ::close(reports[0]);
        for (std::size_t begin = 0, end; (end = buffer.find('\n', begin)) != std::string::npos; begin = end + 1) {
            committed.insert(buffer.substr(begin, end - begin + 1));
        }
        ASSERT_GE(received, wanted) << "the writer died on its own in round " << round;

        EXPECT_EQ(scalarText("PRAGMA integrity_check"), "ok") << round;
        RDDILogDBStorage reopened;
        std::set<std::string> stored;
        for (const auto& log : reopened.logsFromDBWithGroupId("Kill")) stored.insert(nameOf(log));
        for (const auto& name : committed) ASSERT_TRUE(stored.contains(name)) << "lost " << name;
    }
}

}  // namespace
