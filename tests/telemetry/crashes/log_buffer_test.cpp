#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

namespace rddi {
namespace {

namespace fs = std::filesystem;

using gwtest::readFile;
using gwtest::writeFile;

class LogBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDICrashesLogBuffer::resetForTesting();
        for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n) {
            fs::path file = logFile(n);
            writeFile(file, "");
            RDDICrashesLogBuffer::resetSlot(n, file.string());
        }
    }
    void TearDown() override { RDDICrashesLogBuffer::resetForTesting(); }

    fs::path logFile(std::size_t n) const { return dir / (std::to_string(n) + ".rdcrasheslogbuffer"); }
    fs::path tokenFile(std::size_t n) const { return dir / (std::to_string(n) + ".targettoken"); }

    gwtest::TempDir dir;
};

TEST_F(LogBufferTest, SlotsKnowTheirFilesAndFillInOrderThenTheOldestIsOverwritten) {
    auto first = RDDICrashesLogBuffer::slot(0);
    EXPECT_EQ(first.logFilePath, logFile(0).string());
    EXPECT_EQ(first.tokenFilePath, tokenFile(0).string());
    EXPECT_TRUE(first.logData.empty());

    // Times that make slot 7 and slot 30 tie for the oldest: the lower index goes.
    for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n) {
        double time = (n == 7 || n == 30) ? 5.0 : 100.0 + static_cast<double>(n);
        std::string token = n == 7 ? "token-7" : "";
        EXPECT_EQ(RDDICrashesLogBuffer::store("log-" + std::to_string(n), token, "id-" + std::to_string(n), time), n);
    }
    EXPECT_EQ(RDDICrashesLogBuffer::slot(7).encryptedToken, "token-7");

    struct Step {
        const char* token;
        std::size_t expectedIndex;
    };
    // 61st: slot 7 (tie with 30, lower index); 62nd: slot 30; 63rd: slot 0 (now the oldest at 100).
    const Step steps[] = {{"", 7}, {"new-token", 30}, {"", 0}};
    for (const auto& step : steps) {
        std::size_t index = RDDICrashesLogBuffer::store("newer", step.token, "newer-id", 1000.0);
        EXPECT_EQ(index, step.expectedIndex);
        auto slot = RDDICrashesLogBuffer::slot(index);
        EXPECT_EQ(slot.logData, "newer");
        EXPECT_EQ(slot.encryptedToken, step.token) << "the overwritten slot keeps no token of its old log";
        EXPECT_EQ(slot.internalId, "newer-id");
        EXPECT_EQ(slot.timestamp, 1000.0);
    }
    EXPECT_EQ(RDDICrashesLogBuffer::store("", "", "nothing", 1.0), kRDDICrashesLogBufferSize);
}

TEST_F(LogBufferTest, RemovingFreesEverySlotOfTheIdAndAFreedSlotIsReusedFirst) {
    RDDICrashesLogBuffer::store("a", "t", "same", 1);
    RDDICrashesLogBuffer::store("b", "", "other", 2);
    RDDICrashesLogBuffer::store("c", "", "same", 3);

    EXPECT_TRUE(RDDICrashesLogBuffer::remove("").empty());
    EXPECT_EQ(RDDICrashesLogBuffer::remove("same"), (std::vector<std::size_t>{0, 2}));
    auto freed = RDDICrashesLogBuffer::slot(0);
    EXPECT_TRUE(freed.logData.empty());
    EXPECT_TRUE(freed.encryptedToken.empty());
    EXPECT_TRUE(freed.internalId.empty());
    EXPECT_EQ(freed.timestamp, 0.0);
    EXPECT_EQ(freed.logFilePath, logFile(0).string());
    EXPECT_EQ(RDDICrashesLogBuffer::slot(1).logData, "b");
    // No file is touched before a crash-time write.
    EXPECT_TRUE(fs::exists(logFile(0)));

    EXPECT_EQ(RDDICrashesLogBuffer::store("d", "", "d", 4), 0u);
}

// A child process crashes on a secondary thread; its fault handler runs the crash-time
// writer, as the crash reporter does after writing its report.
TEST_F(LogBufferTest, ACrashWritesEverySlotToItsFileAndEmptiesTheFreedOnes) {
    // Left over from an earlier crash: a freed slot's file must come out empty.
    writeFile(logFile(5), "stale bytes of an earlier run");
    std::string binary("\x00\x01\xff payload", 11);
    RDDICrashesLogBuffer::store(binary, "secret-token", "one", 1);
    RDDICrashesLogBuffer::store("stored already", "", "two", 2);
    RDDICrashesLogBuffer::store("three", "", "three", 3);
    RDDICrashesLogBuffer::remove("two");

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            RDDICrashesLogBuffer::writeAtCrash();
            _exit(RDDICrashesLogBuffer::crashWritten() ? 42 : 1);
        };
        sigaction(SIGSEGV, &action, nullptr);
        // A page that can't be written: a real fault, not one the sanitizers stop first.
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::thread([page] { *static_cast<volatile int*>(page) = 1; }).join();
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42);

    EXPECT_EQ(readFile(logFile(0)), binary);
    EXPECT_EQ(readFile(tokenFile(0)), "secret-token");
    EXPECT_EQ(readFile(logFile(1)), "");
    EXPECT_EQ(readFile(logFile(2)), "three");
    EXPECT_EQ(readFile(logFile(5)), "");
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, kRDDICrashesLogBufferSize + 1) << "sixty log files and one token file";
    EXPECT_FALSE(fs::exists(tokenFile(2)));
}

TEST_F(LogBufferTest, AfterACrashTimeWriteAHandledLogTakesItsFileAlong) {
    RDDICrashesLogBuffer::store("kept", "", "kept", 1);
    RDDICrashesLogBuffer::store("handled", "", "handled", 2);
    RDDICrashesLogBuffer::writeAtCrash();
    EXPECT_TRUE(RDDICrashesLogBuffer::crashWritten());
    EXPECT_EQ(readFile(logFile(1)), "handled");

    RDDICrashesLogBuffer::remove("handled");
    EXPECT_FALSE(fs::exists(logFile(1)));
    EXPECT_EQ(readFile(logFile(0)), "kept");
}

// Slots replaced all the time while a writer runs: every file it leaves holds one
// whole log or nothing, never a mix of two.
TEST_F(LogBufferTest, ConcurrentReplacementNeverLeavesTornBytes) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (unsigned round = 0; !stop.load(); ++round) {
            std::string id = "id" + std::to_string(round % 120);
            RDDICrashesLogBuffer::store(std::string(4096, static_cast<char>('a' + round % 26)), "", id, round);
            if (round % 3 == 0) RDDICrashesLogBuffer::remove("id" + std::to_string((round + 60) % 120));
        }
    });
    for (int pass = 0; pass < 20; ++pass) {
        RDDICrashesLogBuffer::writeAtCrash();
        for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n) {
            std::string content = readFile(logFile(n));
            if (content.empty()) continue;
            ASSERT_EQ(content.size(), 4096u);
            EXPECT_EQ(content.find_first_not_of(content[0]), std::string::npos) << "slot " << n;
        }
    }
    stop = true;
    churn.join();
}

}  // namespace
}  // namespace rddi
