// scripts/run-tests run on planted CTest build folders whose tests leave processes (stopped, and
// one that cleared its environment) and mounts behind: each is named, ended or taken off, and the
// stage fails; a clean run passes with its scratch folder gone; a failing test still fails the
// stage; a passed test that said a part was not tried is listed; and a program of the user's own
// started from the build folder is left alone.
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// CTestTestfile.cmake lines registering `name` as a shell script, with a time limit a mistake
// here would meet.
std::string shellTest(const std::string& name, const std::string& script) {
    std::string quoted;
    for (const char c : script) {
        if (c == '"' || c == '\\' || c == '$') quoted += '\\';
        quoted += c;
    }
    return "add_test(" + name + " \"/bin/sh\" \"-c\" \"" + quoted + "\")\nset_tests_properties(" + name +
           " PROPERTIES TIMEOUT 60)\n";
}

std::vector<pid_t> pidsIn(const fs::path& file) {
    std::vector<pid_t> pids;
    std::ifstream in(file);
    for (pid_t pid; in >> pid;) pids.push_back(pid);
    return pids;
}

bool mountedBelow(const fs::path& folder) {
    std::ifstream info("/proc/self/mountinfo");
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5; ++i) fields >> field;
        if (field.rfind(folder.string() + "/", 0) == 0) return true;
    }
    return false;
}

class RunTests : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "build");
        fs::create_directories(dir_ / "tmp");
        // A program of the build folder's own, as the tests' programs are.
        fs::copy_file("/bin/sleep", sleeper());
    }

    // Whatever the script under test left, no process of this test outlives it.
    void TearDown() override {
        for (const pid_t pid : spared_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (const pid_t pid : pidsIn(dir_ / "pids")) {
            if (!gwtest::ended(pid)) ::kill(pid, SIGKILL);
        }
    }

    fs::path sleeper() const { return dir_ / "build/sleeper"; }

    gwtest::ProgramRun run(const std::string& testfile) const {
        gwtest::writeFile(dir_ / "build/CTestTestfile.cmake", testfile);
        gwtest::ProgramOptions options;
        options.workingDirectory = dir_.path();
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "out.txt";
        options.errFile = dir_ / "err.txt";
        options.environment = {"TMPDIR=" + (dir_ / "tmp").string()};
        return gwtest::runProgram(GW_SOURCE_DIR "/scripts/run-tests", {(dir_ / "build").string()}, options);
    }

    // The scratch folder a planted test was given, which it wrote to `seen`.
    fs::path runFolder() const {
        const std::string seen = gwtest::readFile(dir_ / "seen");
        return seen.substr(0, seen.find('\n'));
    }

    gwtest::TempDir dir_;
    std::vector<pid_t> spared_;
};

TEST_F(RunTests, ACleanRunPassesAndLeavesNoScratchFolder) {
    const auto run = this->run(shellTest("clean", "echo \"$TMPDIR\" > " + (dir_ / "seen").string() +
                                                      " && touch \"$TMPDIR/kept\" && mkdir -m 0 \"$TMPDIR/locked\""));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const fs::path folder = runFolder();
    EXPECT_EQ(folder.parent_path(), dir_ / "tmp");
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(RunTests, AFailingTestFailsTheStage) {
    const auto run = this->run(shellTest("fails", "exit 1"));
    EXPECT_NE(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err.find("behind"), std::string::npos) << run.err;
}

// A stopped child, a child of a program outside the build folder, one that cleared the mark
// from its environment but works in the test's scratch folder: each named, each ended. The
// user's own program of the build folder, started elsewhere, runs on.
TEST_F(RunTests, ProcessesATestLeftAreNamedAndEndedAndTheStageFails) {
    const pid_t users = gwtest::startProgram(sleeper().string(), {"1000"},
                                             {.workingDirectory = dir_.path(), .xdgRoot = dir_ / "xdg",
                                              .outFile = "/dev/null", .errFile = "/dev/null"});
    ASSERT_GT(users, 0);
    spared_.push_back(users);
    const std::string pids = (dir_ / "pids").string();
    const std::string sleeper = this->sleeper().string();
    // Their output goes elsewhere, or ctest would wait for them to close it.
    const auto run = this->run(shellTest(
        "leaves", "echo \"$TMPDIR\" > " + (dir_ / "seen").string() + " && exec >/dev/null 2>&1; " + sleeper +
                      " 1000 & kill -STOP $! && echo $! >> " + pids + "; sleep 1000 & echo $! >> " + pids +
                      "; (cd \"$TMPDIR\" && exec env -u GW_TEST_RUN " + sleeper + " 1000) & echo $! >> " + pids));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto left = pidsIn(dir_ / "pids");
    ASSERT_EQ(left.size(), 3u) << run.out << run.err;
    // Stopped as soon as it was made, it may not have become the sleeper yet.
    EXPECT_NE(run.err.find("(pid " + std::to_string(left[0]) + ", stopped)\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("a process left running: " + fs::canonical("/bin/sleep").string() + " (pid " +
                           std::to_string(left[1]) + ")\n"),
              std::string::npos)
        << run.err;
    // It may still be `env` on its way to becoming the sleeper when the run ends.
    const std::string cleared = " (pid " + std::to_string(left[2]) + ")\n";
    EXPECT_TRUE(run.err.find("a process left running: " + sleeper + cleared) != std::string::npos ||
                run.err.find("a process left running: " + fs::canonical("/usr/bin/env").string() + cleared) !=
                    std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("left 3 processes or mounts behind"), std::string::npos) << run.err;
    for (const pid_t pid : left) EXPECT_TRUE(gwtest::ended(pid)) << pid;
    EXPECT_FALSE(gwtest::ended(users));
    EXPECT_FALSE(fs::exists(runFolder()));
}

TEST_F(RunTests, AMountAndALoopDeviceATestLeftAreTakenOffAndTheStageFails) {
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser mounts file systems and sets up loop devices";
    if (::access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine gives no loop devices";
    const auto run = this->run(shellTest(
        "mounts", "echo \"$TMPDIR\" > " + (dir_ / "seen").string() +
                      " && mkdir \"$TMPDIR/disk\" && mount -t tmpfs none \"$TMPDIR/disk\" && "
                      "truncate -s 1M \"$TMPDIR/image\" && losetup --find --show \"$TMPDIR/image\""));
    const fs::path folder = runFolder();
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("a mount left: " + (folder / "disk").string() + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("a loop device left: /dev/loop"), std::string::npos) << run.err;
    EXPECT_FALSE(mountedBelow(dir_ / "tmp"));
    EXPECT_FALSE(fs::exists(folder));
    // The loop device went with the run.
    const auto device = run.err.substr(run.err.find("/dev/loop") + 5);
    const std::string name = device.substr(0, device.find(' '));
    std::ifstream backing("/sys/block/" + name + "/loop/backing_file");
    EXPECT_FALSE(backing.good()) << name;
}

TEST_F(RunTests, APassedTestThatSaysAPartWasNotTriedIsListed) {
    const auto run = this->run(shellTest("partly", "echo 'on exfat not tried: no exfat here'") +
                               shellTest("wholly", "echo all of it"));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("tests that passed with a part not tried here:\n  partly: on exfat not tried: no exfat here\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("wholly:"), std::string::npos) << run.out;
}

}  // namespace
