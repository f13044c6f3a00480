#include "telemetry/pipeline/rddi_db_storage.hpp"

#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using rddi::RDDIDBStorage;
using rddi::RDDIStorageBindableArray;
using rddi::testkit::TelemetryTestEnvironment;
namespace pf = platform::foundation;

const rddi::RDDIDBSchema kSchema = {
    {"items", {{"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}, {"name", {"TEXT", "NOT NULL"}}, {"n", {"INTEGER"}}}},
};

// Records the hooks it receives.
class HookedStorage : public RDDIDBStorage {
public:
    explicit HookedStorage(std::uint64_t version = 5, const std::string& filename = "Test.sqlite")
        : RDDIDBStorage(DeferConfiguration{}, kSchema, version, filename) {
        configureStorage();
    }
    void customizeDatabase(sqlite3*) override { hooks.push_back("customize"); }
    void migrateDatabase(sqlite3*, std::uint64_t fromVersion) override {
        hooks.push_back("migrate " + std::to_string(fromVersion));
    }
    std::vector<std::string> hooks;
};

std::int64_t scalar(const std::filesystem::path& path, const std::string& query) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    std::int64_t value = -1;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_type(statement, 0) == SQLITE_TEXT
                    ? (std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) == "ok" ||
                       std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) == "wal")
                    : sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

std::filesystem::path databasePath() { return rddi::RDDIUtility::dezIdedevDirectoryURL() / "Test.sqlite"; }

TEST(DBStorageTest, CreationAndMigrationRunTheRightHookAndWriteTheVersion) {
    struct Case {
        const char* name;
        std::optional<int> storedVersion;  // none: no file yet
        std::vector<std::string> hooks;
    };
    const Case cases[] = {
        {"new file", std::nullopt, {"customize"}},
        {"older file", 4, {"migrate 4"}},
        {"same version", 5, {}},
        {"newer file", 6, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TelemetryTestEnvironment env;
        if (c.storedVersion) {
            sqlite3* db = nullptr;
            std::filesystem::create_directories(databasePath().parent_path());
            ASSERT_EQ(sqlite3_open(databasePath().c_str(), &db), SQLITE_OK);
            sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(*c.storedVersion)).c_str(), nullptr, nullptr,
                         nullptr);
            sqlite3_close(db);
        }
        HookedStorage storage;
        EXPECT_EQ(storage.hooks, c.hooks);
        EXPECT_EQ(scalar(databasePath(), "PRAGMA user_version"), 5);
        EXPECT_EQ(scalar(databasePath(), "PRAGMA auto_vacuum"), 1);
        EXPECT_EQ(scalar(databasePath(), "PRAGMA journal_mode"), 1) << "not in write-ahead-log mode";
        EXPECT_GT(storage.pageSize(), 0);
        EXPECT_EQ(storage.maxSizeInBytes(), 10485760);
        EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt, nullptr), 0u);
        if (!c.storedVersion) {
            EXPECT_TRUE(env.logged(rddi::RDDILogLevelInfo, "Created \"Test.sqlite\" database with 5 version."));
        }
    }
}

TEST(DBStorageTest, AFolderWhoseNameReadsAsUriSyntaxStillHoldsTheFile) {
    TelemetryTestEnvironment env;
    gwtest::ScopedEnv data("XDG_DATA_HOME", (env.xdg().root() / "odd ?mode=ro&x=1 #100% ü").string());
    rddi::RDDIUtility::resetDezIdedevDirectoryURL();
    HookedStorage storage;
    RDDIStorageBindableArray values;
    values.addString("x");
    EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values), 0);
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt, nullptr), 1u);
    EXPECT_TRUE(std::filesystem::exists(databasePath()));
    EXPECT_EQ(storage.dbFilePath(), databasePath());
    EXPECT_EQ(scalar(databasePath(), "SELECT COUNT(*) FROM items"), 1);
    rddi::RDDIUtility::resetDezIdedevDirectoryURL();
}

// A copy of the write-ahead log a store of `filename` holds open with one row `name` in it,
// as a process killed while it ran would leave it.
std::string liveLogWithRow(const std::string& filename, const std::string& name) {
    HookedStorage store(5, filename);
    RDDIStorageBindableArray values;
    values.addString(name);
    EXPECT_EQ(store.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values), 0);
    return gwtest::readFile(rddi::RDDIUtility::dezIdedevDirectoryURL() / (filename + "-wal"));
}

std::vector<std::string> errorLines(const TelemetryTestEnvironment& env) {
    std::vector<std::string> lines;
    for (const auto& entry : env.capturedLogs())
        if (entry.level == rddi::RDDILogLevelError) lines.push_back(entry.message);
    return lines;
}

TEST(DBStorageTest, AFileThatCannotBeReadIsKeptBesideAndALogNoStoreOfItBeganIsNotRead) {
    // Before, a file that was no database was deleted unread, an empty one beside its
    // write-ahead log was made anew without a word (SQLite deleted the log and the rows in
    // it), and another store's log beside a sound file was read as the file's own.
    const std::string garbage = "this is certainly not an SQLite database, just some words " + std::string(4000, 'x');
    struct Case {
        const char* name;
        const char* line;    // the one ERROR line, which names what was kept beside
        const char* kept;    // the name it was kept under
        bool made;           // the store was made anew
    };
    const Case cases[] = {
        {"no database", "is damaged (it is not a database): it was moved to", ".corrupt", true},
        {"empty beside its log", "is damaged (it is empty, beside a write-ahead log of", ".corrupt-wal", true},
        {"another store's log beside it", "was not begun by any store of the file", "-wal.aside", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TelemetryTestEnvironment env;
        const std::string path = databasePath().string();
        const std::string name = c.name;
        std::string log;
        if (name == "another store's log beside it") {
            log = liveLogWithRow("Other.sqlite", "theirs");
            HookedStorage(5, "Test.sqlite")
                .executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES ('mine')");
        } else if (name == "empty beside its log") {
            log = liveLogWithRow("Test.sqlite", "lost");
            gwtest::writeFile(path, "");
        } else {
            gwtest::writeFile(path, garbage);
        }
        if (!log.empty()) gwtest::writeFile(path + "-wal", log);
        env.clearLogs();

        HookedStorage storage;
        EXPECT_EQ(storage.hooks, c.made ? std::vector<std::string>{"customize"} : std::vector<std::string>{});
        const auto errors = errorLines(env);
        EXPECT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
        const std::string said = errors.empty() ? std::string() : errors.front();
        EXPECT_NE(said.find(c.line), std::string::npos) << said;
        EXPECT_NE(said.find(path + c.kept), std::string::npos) << said;
        EXPECT_EQ(std::filesystem::exists(path + c.kept) ? gwtest::readFile(path + c.kept) : std::string("(nothing)"),
                  name == "no database" ? garbage : log)
            << "not kept as it was";
        EXPECT_EQ(scalar(databasePath(), "PRAGMA integrity_check"), 1);
        EXPECT_EQ(scalar(databasePath(), "PRAGMA user_version"), 5);
        EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt, nullptr), c.made ? 0u : 1u);
        EXPECT_EQ(scalar(databasePath(), "SELECT COUNT(*) FROM items WHERE name = 'mine'"), c.made ? 0 : 1);
    }
}

TEST(DBStorageTest, TheEmptyFileOfAnInterruptedFirstConfigurationIsMadeAnewWithoutAWord) {
    TelemetryTestEnvironment env;
    std::filesystem::create_directories(databasePath().parent_path());
    gwtest::writeFile(databasePath(), "");
    HookedStorage storage;
    EXPECT_EQ(storage.hooks, std::vector<std::string>{"customize"});
    EXPECT_TRUE(errorLines(env).empty()) << errorLines(env).front();
    EXPECT_FALSE(std::filesystem::exists(databasePath().string() + ".corrupt"));
    EXPECT_EQ(scalar(databasePath(), "PRAGMA integrity_check"), 1);
}

TEST(DBStorageTest, SizeLimitsRoundUpToWholePagesAndNeverCutStoredData) {
    TelemetryTestEnvironment env;
    HookedStorage storage;
    const long page = storage.pageSize();
    ASSERT_EQ(page, 4096);
    struct Case {
        long requested;
        bool accepted;
        long limit;
        std::string message;
    };
    const Case cases[] = {
        {page * 9 / 2, true, page * 5, "Changed maximum database size to 20480 bytes (next multiple of 4KiB)."},
        {page * 10, true, page * 10, "Changed maximum database size to 40960 bytes."},
        {page, false, page * 10,
         "Cannot change database size to 4096 bytes as it would cause a loss of data. Maximum database size will not "
         "be changed."},
    };
    for (const auto& c : cases) {
        std::optional<bool> answer;
        storage.setMaxStorageSize(c.requested, [&](bool success) { answer = success; });
        EXPECT_EQ(answer, c.accepted) << c.requested;
        EXPECT_EQ(storage.maxSizeInBytes(), c.limit) << c.requested;
        EXPECT_TRUE(env.logged(c.accepted ? rddi::RDDILogLevelInfo : rddi::RDDILogLevelWarning, c.message)) << c.message;
    }

    // The limit holds on every later connection: a full database answers 13.
    storage.setMaxStorageSize(page * 6, nullptr);
    int code = 0;
    for (int i = 0; i < 1000 && code == 0; ++i) {
        RDDIStorageBindableArray values;
        values.addString(std::string(1000, 'a' + i % 26));
        code = storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values);
    }
    EXPECT_EQ(code, SQLITE_FULL);
    EXPECT_LE(scalar(databasePath(), "PRAGMA page_count"), 6);

    // A file that cannot be opened (a file stands where its folder was) still answers.
    std::filesystem::remove_all(databasePath().parent_path());
    std::ofstream(databasePath().parent_path()) << "in the way";
    std::optional<bool> answer;
    storage.setMaxStorageSize(page * 20, [&](bool success) { answer = success; });
    EXPECT_EQ(answer, false);
}

TEST(DBStorageTest, ValuesAreBoundAndReadBackWhole) {
    TelemetryTestEnvironment env;
    HookedStorage storage;
    const std::int64_t big = (std::int64_t{1} << 40) + 7;
    RDDIStorageBindableArray values;
    values.addNumber(big);
    values.addString("it's \"quoted\"; DROP TABLE items; --");
    values.addNumber(-5);
    ASSERT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"id\", \"name\", \"n\") VALUES (?, ?, ?)",
                                               &values),
              0);
    RDDIStorageBindableArray nullName;
    nullName.addString(std::nullopt);
    EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &nullName),
              SQLITE_CONSTRAINT);

    const auto rows =
        storage.executeSelectionQuery("SELECT \"id\", \"name\", \"n\", 1.5, NULL, x'00FF10' FROM \"items\"", nullptr);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].asInteger(), big);
    EXPECT_EQ(*rows[0][1].asString(), "it's \"quoted\"; DROP TABLE items; --");
    EXPECT_EQ(rows[0][2].asInteger(), -5);
    EXPECT_TRUE(rows[0][3].isNull());  // no real numbers in this store
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError,
                           "Could not retrieve column value at index 3 from statement: unknown type 2."));
    EXPECT_TRUE(rows[0][4].isNull());
    EXPECT_EQ(rows[0][5], pf::Value(pf::Data{0x00, 0xFF, 0x10}));

    RDDIStorageBindableArray condition;
    condition.addNumber(-5);
    EXPECT_EQ(storage.countEntriesForTable("items", "\"n\" = ?", &condition), 1u);
    RDDIStorageBindableArray tooMany;
    tooMany.addNumber(1);
    tooMany.addNumber(2);
    EXPECT_NE(storage.executeNonSelectionQuery("DELETE FROM \"items\" WHERE \"id\" = ?", &tooMany), 0);
    EXPECT_EQ(storage.executeNonSelectionQuery("NOT SQL AT ALL", nullptr), SQLITE_ERROR);
    EXPECT_TRUE(storage.executeSelectionQuery("SELECT * FROM \"missing\"", nullptr).empty());

    EXPECT_TRUE(storage.createTable("extra", {{"a", {"TEXT"}}}));
    EXPECT_TRUE(storage.createTable("extra", {{"a", {"TEXT"}}}));  // exists already: fine
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelVerbose, "Table extra has been created"));
    EXPECT_TRUE(storage.dropTable("extra"));
    EXPECT_TRUE(storage.dropTable("extra"));
    EXPECT_EQ(RDDIDBStorage::columnsQueryFromColumnsSchema(kSchema[0].second),
              "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"name\" TEXT NOT NULL, \"n\" INTEGER");
    EXPECT_EQ(RDDIDBStorage::columnsIndexes(kSchema).at("items").at("n"), 2u);
}

TEST(DBStorageTest, StoresOfOneProcessShareTheFileAndFollowItWhenReplaced) {
    TelemetryTestEnvironment env;
    HookedStorage first;
    HookedStorage second;
    // Writers and readers on several threads through two stores of the same file: none
    // may fail on the other's table lock.
    constexpr int kThreads = 4, kRows = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HookedStorage& storage = t % 2 ? first : second;
            for (int i = 0; i < kRows; ++i) {
                RDDIStorageBindableArray values;
                values.addString("t" + std::to_string(t));
                if (storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values) != 0) ++failures;
                if (storage.executeSelectionQuery("SELECT * FROM \"items\" ORDER BY \"id\" DESC LIMIT 5", nullptr).empty()) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(first.countEntriesForTable("items", std::nullopt, nullptr), static_cast<std::uint64_t>(kThreads * kRows));

    // Another process deletes the file and makes a new one: the stores use the new file,
    // not what this process still had of the old one.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(databasePath().string() + suffix);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL, n INTEGER);"
                           "INSERT INTO items (name) VALUES ('replacement');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(first.countEntriesForTable("items", std::nullopt, nullptr), 1u);
    RDDIStorageBindableArray values;
    values.addString("after");
    EXPECT_EQ(second.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values), 0);
    EXPECT_EQ(scalar(databasePath(), "SELECT COUNT(*) FROM items"), 2);
}

TEST(DBStorageTest, AWriterInAnotherConnectionDelaysAnInsertInsteadOfFailingIt) {
    TelemetryTestEnvironment env;
    HookedStorage storage;
    std::mutex mutex;
    std::condition_variable changed;
    bool locked = false;
    std::thread other([&] {
        sqlite3* db = nullptr;
        sqlite3_open(databasePath().c_str(), &db);
        sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO items (name) VALUES ('other');", nullptr, nullptr, nullptr);
        {
            std::lock_guard lock(mutex);
            locked = true;
        }
        changed.notify_all();
        // Hold the write lock for a while; the store must wait it out.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return locked; });
    }
    RDDIStorageBindableArray values;
    values.addString("mine");
    EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", &values), 0);
    other.join();
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt, nullptr), 2u);
}

}  // namespace
