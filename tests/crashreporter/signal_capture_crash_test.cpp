// Real crashes of a child that registered the crash callback: each case runs in a fresh child
// with a deadline; the child must die by the expected signal and leave a report that decodes,
// names the signal the Linux way and shows the crashed thread's frames by name.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/text_formatter.hpp"
#include "support/machine_pace.hpp"

using namespace lvcrash;

namespace {

// A crash that hangs outlives this; one on a machine busy with other work does not: five
// seconds of an idle machine, scaled by the pace the test gets now.
int deadlineMilliseconds() {
    static gwtest::Pace pace;
    return static_cast<int>(pace.bound(std::chrono::seconds(5)).count());
}

struct ChildRun {
    bool finished = false;
    int status = 0;
    std::vector<std::uint8_t> report;
    bool report_exists = false;
    std::size_t report_count = 0;  // finished reports the child left
    std::string handled;
    std::string stack_used;
    std::string parked;  // threads parked while handleSignal ran
};

std::string read_text(const std::string& path, bool* exists = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (exists) *exists = in.good();
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs the child for one case; a child that outlives the deadline is killed and reported as a hang.
ChildRun run_child(const std::string& what) {
    ChildRun run;
    char dir_template[] = "/tmp/gw-crash-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const std::string path = dir + "/pending.lvcrash";
    const pid_t child = fork();
    if (child == 0) {
        execl(CRASH_CHILD_PATH, CRASH_CHILD_PATH, path.c_str(), what.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd p{pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, deadlineMilliseconds());
    close(pidfd);
    if (ready != 1) kill(child, SIGKILL);
    run.finished = ready == 1;
    waitpid(child, &run.status, 0);
    // Beside path under its name, or in the reporter object's folder path links to.
    std::error_code ec;
    const auto reports = std::filesystem::is_directory(path, ec)
                             ? finishedCrashReportPaths(path, kPendingReportName)
                             : finishedCrashReportPaths(dir, "pending.lvcrash");
    run.report_count = reports.size();
    if (!reports.empty()) {
        const std::string bytes = read_text(reports.front(), &run.report_exists);
        run.report.assign(bytes.begin(), bytes.end());
    }
    run.handled = read_text(path + ".handled");
    run.stack_used = read_text(path + ".handled.stack");
    run.parked = read_text(path + ".handled.parked");
    unlink((path + ".handled.parked").c_str());
    unlink((path + ".handled.stack").c_str());
    unlink(path.c_str());
    unlink((path + ".handled").c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);  // with the reporter object's folders
    return run;
}

std::vector<std::string> names_of(const CrashReportThreadInfo& thread) {
    std::vector<std::string> names;
    for (const auto& frame : thread.stackFrames) names.push_back(frame.symbolInfo ? frame.symbolInfo->symbolName : "?");
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += n + " ";
    return out;
}

// `wanted` appear one right after the other, the first of them within the first `within` frames.
bool starts_with_run(const std::vector<std::string>& names, const std::vector<std::string>& wanted, std::size_t within) {
    for (std::size_t start = 0; start < within && start + wanted.size() <= names.size(); ++start) {
        bool all = true;
        for (std::size_t k = 0; k < wanted.size() && all; ++k) all = names[start + k] == wanted[k];
        if (all) return true;
    }
    return false;
}

const CrashReportThreadInfo* crashed_thread(const CrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread.crashed) return &thread;
    return nullptr;
}

struct CrashCase {
    const char* what;
    int signo;
    const char* name;
    const char* code;  // nullptr: not checked
    std::vector<std::string> frames;
    std::size_t within;  // the first named frame is at most this deep (libc frames above it)
};

}  // namespace

TEST(SignalCapture, EachCrashLeavesAReportNamingTheSignalAndTheCrashedFrames) {
    const std::vector<CrashCase> cases = {
        {"null-write", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"crash_null_write", "main"}, 1},
        {"guard-page", SIGSEGV, "SIGSEGV", "SEGV_ACCERR", {"crash_guard_page", "main"}, 1},
        {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", {"crash_truncated_mapping", "main"}, 1},
        {"ill", SIGILL, "SIGILL", "ILL_ILLOPN", {"crash_illegal_instruction", "main"}, 1},
        {"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", {"crash_divide", "main"}, 1},
        {"trap", SIGTRAP, "SIGTRAP", nullptr, {"crash_breakpoint", "main"}, 1},
        {"abort", SIGABRT, "SIGABRT", nullptr, {"abort", "crash_abort", "main"}, 6},
        {"overflow-main", SIGSEGV, "SIGSEGV", nullptr, {"crash_recurse_forever", "crash_recurse_forever"}, 1},
        {"overflow-thread", SIGSEGV, "SIGSEGV", nullptr, {"crash_recurse_forever", "crash_recurse_forever"}, 1},
        {"overflow-early-thread", SIGSEGV, "SIGSEGV", nullptr, {"crash_recurse_forever", "crash_recurse_forever"}, 1},
        {"thread", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"crash_null_write", "crash_on_thread_body"}, 1},
        {"usr1", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"crash_null_write", "crash_usr1_handler"}, 1},
        {"threads-50", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"crash_null_write", "main"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ChildRun run = run_child(c.what);
        ASSERT_TRUE(run.finished) << "hung";
        ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit status " << WEXITSTATUS(run.status);
        EXPECT_EQ(WTERMSIG(run.status), c.signo);
        EXPECT_EQ(run.handled, std::string("signal ") + static_cast<char>('0' + c.signo / 10) +
                                   static_cast<char>('0' + c.signo % 10) + "\n") << "handleSignal runs once";
        std::optional<platform::foundation::Error> error;
        auto report = CrashReport::decode(run.report, &error);
        ASSERT_TRUE(report) << (error ? error->what() : "no report");
        EXPECT_EQ(report->signalInfo().name, c.name);
        if (c.code) {
            EXPECT_EQ(report->signalInfo().code, c.code);
        }
        const CrashReportThreadInfo* crashed = crashed_thread(*report);
        ASSERT_NE(crashed, nullptr);
        const auto names = names_of(*crashed);
        EXPECT_TRUE(starts_with_run(names, c.frames, c.within)) << joined(names);
        if (std::string(c.what) == "thread") {
            // Down to the start routine every thread of the process begins in.
            EXPECT_TRUE(starts_with_run(names, {"lvcrash_thread_start"}, names.size())) << joined(names);
        }
        if (std::string(c.what) == "usr1") {
            // Through the signal frame (libc's restorer, unnamed without its symbol table) to the
            // interrupted function.
            EXPECT_TRUE(starts_with_run(names, {"crash_interrupted_loop", "main"}, names.size())) << joined(names);
        }
        if (std::string(c.what) == "threads-50") {
            EXPECT_EQ(report->threads().size(), 50u);
            for (const auto& thread : report->threads()) EXPECT_FALSE(thread.stackFrames.empty());
            EXPECT_EQ(run.parked, "49") << "the others stay suspended through handleSignal";
        }
        // The text formatter takes every report the crash path writes.
        EXPECT_FALSE(CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::iOS).empty());
    }
}

// The same crashes through the reporter object, in signal mode and in Mach mode. In Mach mode
// the report carries the exception and the signal it maps to (which handleSignal gets), while
// the process still dies of the Linux signal.
TEST(SignalCapture, EachCrashThroughTheReporterObjectInBothModes) {
    struct ModeCase {
        const char* what;
        int signo;
        int exception;  // 0: reaches the signal handler in Mach mode too
        std::vector<std::string> frames;
        std::size_t within;
    };
    const std::vector<ModeCase> cases = {
        {"null-write", SIGSEGV, 1, {"crash_null_write", "main"}, 1},
        {"guard-page", SIGSEGV, 1, {"crash_guard_page", "main"}, 1},
        {"bus", SIGBUS, 1, {"crash_truncated_mapping", "main"}, 1},
        {"ill", SIGILL, 2, {"crash_illegal_instruction", "main"}, 1},
        {"fpe", SIGFPE, 3, {"crash_divide", "main"}, 1},
        {"trap", SIGTRAP, 6, {"crash_breakpoint", "main"}, 1},
        {"abort", SIGABRT, 0, {"abort", "crash_abort", "main"}, 6},
        {"overflow-main", SIGSEGV, 1, {"crash_recurse_forever", "crash_recurse_forever"}, 1},
        {"overflow-thread", SIGSEGV, 1, {"crash_recurse_forever", "crash_recurse_forever"}, 1},
        {"thread", SIGSEGV, 1, {"crash_null_write", "crash_on_thread_body"}, 1},
        {"usr1", SIGSEGV, 1, {"crash_null_write", "crash_usr1_handler"}, 1},
        {"threads-50", SIGSEGV, 1, {"crash_null_write", "main"}, 1},
    };
    for (const char* mode : {"0", "1"}) {
        setenv("GW_CRASH_CHILD_FACADE", mode, 1);
        const bool mach = std::string(mode) == "1";
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (mach ? " mach" : " signal"));
            const ChildRun run = run_child(c.what);
            ASSERT_TRUE(run.finished) << "hung";
            ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit status " << WEXITSTATUS(run.status);
            EXPECT_EQ(WTERMSIG(run.status), c.signo);
            std::optional<platform::foundation::Error> error;
            auto report = CrashReport::decode(run.report, &error);
            ASSERT_TRUE(report) << (error ? error->what() : "no report");
            ASSERT_EQ(run.handled.size(), 10u) << "handleSignal runs once: " << run.handled;
            const int handled = std::stoi(run.handled.substr(7));
            if (mach && c.exception != 0) {
                ASSERT_TRUE(report->machExceptionInfo().has_value());
                EXPECT_EQ(report->machExceptionInfo()->type, static_cast<std::uint64_t>(c.exception));
                EXPECT_EQ(report->machExceptionInfo()->codes.size(), 2u);
            } else {
                EXPECT_FALSE(report->machExceptionInfo().has_value());
                EXPECT_EQ(handled, c.signo);
            }
            EXPECT_EQ(report->signalInfo().name, sigabbrev_np(handled) ? std::string("SIG") + sigabbrev_np(handled) : "");
            const CrashReportThreadInfo* crashed = crashed_thread(*report);
            ASSERT_NE(crashed, nullptr);
            const auto names = names_of(*crashed);
            EXPECT_TRUE(starts_with_run(names, c.frames, c.within)) << joined(names);
            if (std::string(c.what) == "threads-50") {
                // Mach mode adds the exception server's thread, with its own state.
                EXPECT_EQ(report->threads().size(), mach ? 51u : 50u);
                for (const auto& thread : report->threads()) EXPECT_FALSE(thread.stackFrames.empty());
            }
        }
    }
    unsetenv("GW_CRASH_CHILD_FACADE");
}

TEST(SignalCapture, AReportFolderRemovedBeforeTheCrashGivesTheSameDeathWithoutAReport) {
    const ChildRun run = run_child("folder-removed");
    ASSERT_TRUE(run.finished) << "hung";
    ASSERT_TRUE(WIFSIGNALED(run.status));
    EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
    EXPECT_FALSE(run.report_exists);
    EXPECT_EQ(run.handled, "") << "no handleSignal after a failed write";
}

TEST(SignalCapture, CallbacksAndPreviousActionsRunInTheirOrder) {
    struct ChainCase {
        const char* what;
        int exit_status;  // -1: dies by SIGUSR2
    };
    const ChainCase cases[] = {
        {"prev-ign", 10},          // swallowed: no call, no re-raise
        {"prev-dfl", -1},          // re-raised with the default action
        {"prev-plain", 11},        // called once
        {"prev-siginfo", 11},      // called once, with its siginfo
        {"twice", 30},             // one sigaction, two forwarder entries
        {"kill-refused", 60},      // a signal that can't be caught fails with the reporter's error
        {"newer-only", 40},        // the newer handles it: the older never runs, no re-raise
        {"newer-then-older", 41},  // the older runs through the newer's next-handle
        {"defaults-after", 50},    // the crash callback leaves the six signals at their defaults
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ChildRun run = run_child(c.what);
        ASSERT_TRUE(run.finished) << "hung";
        if (c.exit_status < 0) {
            ASSERT_TRUE(WIFSIGNALED(run.status));
            EXPECT_EQ(WTERMSIG(run.status), SIGUSR2);
        } else {
            ASSERT_TRUE(WIFEXITED(run.status)) << "signal " << WTERMSIG(run.status);
            EXPECT_EQ(WEXITSTATUS(run.status), c.exit_status);
        }
    }
}

TEST(SignalCapture, CrashesAmongOtherThreadsStayOneReportWithoutHeapOrHang) {
    {
        SCOPED_TRACE("two threads faulting at once");
        const ChildRun run = run_child("two-at-once");
        ASSERT_TRUE(run.finished) << "hung";
        ASSERT_TRUE(WIFSIGNALED(run.status));
        EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
        EXPECT_EQ(run.report_count, 1u);
        auto report = CrashReport::decode(run.report, nullptr);
        ASSERT_TRUE(report);
        int crashed = 0, together = 0;
        std::string all;
        for (const auto& thread : report->threads()) {
            crashed += thread.crashed;
            const auto names = names_of(thread);
            all += joined(names) + "| ";
            // The other one either faulted too (its own crash site first), was stopped just
            // before, or faulted and waits inside the handler (the handler's entry and the
            // signal frame above its crash site).
            const bool inHandler = !names.empty() && names.front().find("signal_handler_entry") != std::string::npos;
            together += starts_with_run(names, {"crash_together"}, inHandler ? 4 : 2);
        }
        EXPECT_EQ(crashed, 1);
        EXPECT_EQ(together, 2) << all;
    }
    {
        SCOPED_TRACE("another thread held inside malloc");
        const ChildRun run = run_child("malloc-held");
        ASSERT_TRUE(run.finished) << "hung";
        if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 77) {
            std::printf("no heap wrapper in this build: malloc case not run\n");
        } else {
            ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit " << WEXITSTATUS(run.status) << " (97: heap call)";
            EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
            auto report = CrashReport::decode(run.report, nullptr);
            ASSERT_TRUE(report);
            bool held_seen = false;
            for (const auto& thread : report->threads())
                held_seen |= starts_with_run(names_of(thread), {"malloc", "crash_in_malloc"}, 4);
            EXPECT_TRUE(held_seen);
        }
    }
    {
        SCOPED_TRACE("a thread blocking the stop signal");
        const ChildRun run = run_child("blocked-stop");
        ASSERT_TRUE(run.finished) << "hung";
        ASSERT_TRUE(WIFSIGNALED(run.status));
        EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
        auto report = CrashReport::decode(run.report, nullptr);
        ASSERT_TRUE(report);
        EXPECT_EQ(report->threads().size(), 2u);
        ASSERT_NE(crashed_thread(*report), nullptr);
        EXPECT_TRUE(starts_with_run(names_of(*crashed_thread(*report)), {"crash_null_write", "main"}, 1));
    }
    {
        SCOPED_TRACE("/proc not readable");
        const ChildRun run = run_child("proc-hidden");
        ASSERT_TRUE(run.finished) << "hung";
        if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 77) {
            std::printf("no mount namespace here: /proc case not run\n");
        } else {
            ASSERT_TRUE(WIFSIGNALED(run.status));
            EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
            auto report = CrashReport::decode(run.report, nullptr);
            ASSERT_TRUE(report);
            ASSERT_EQ(report->threads().size(), 1u) << "only the crashed thread";
            EXPECT_TRUE(report->threads()[0].crashed);
        }
    }
    {
        SCOPED_TRACE("a second fault inside the write");
        const ChildRun run = run_child("fault-in-write");
        ASSERT_TRUE(run.finished) << "hung";
        ASSERT_TRUE(WIFSIGNALED(run.status));
        EXPECT_EQ(WTERMSIG(run.status), SIGSEGV) << "the second fault's default action";
        EXPECT_EQ(run.handled, "");
    }
}

TEST(SignalCapture, CrashesInsideLoadedImagesAreNamedFromTheirOwnTables) {
    const std::vector<CrashCase> cases = {
        {"macho-fixture", SIGSEGV, "SIGSEGV", "SEGV_MAPERR",
         {"crash_null_write", "crash_fixture_callback", "_fixture_frame", "main"}, 1},
        {"dlopen", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", {"crash_library_fault", "main"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ChildRun run = run_child(c.what);
        ASSERT_TRUE(run.finished) << "hung";
        ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit " << WEXITSTATUS(run.status);
        EXPECT_EQ(WTERMSIG(run.status), c.signo);
        auto report = CrashReport::decode(run.report, nullptr);
        ASSERT_TRUE(report);
        ASSERT_NE(crashed_thread(*report), nullptr);
        const auto names = names_of(*crashed_thread(*report));
        EXPECT_TRUE(starts_with_run(names, c.frames, c.within)) << joined(names);
    }
}

TEST(SignalCapture, AFiftyThreadWriteUsesAtMostHalfTheAlternateStack) {
    const ChildRun run = run_child("stack-50");
    ASSERT_TRUE(run.finished) << "hung";
    ASSERT_TRUE(WIFSIGNALED(run.status));
    auto report = CrashReport::decode(run.report, nullptr);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->threads().size(), 50u);
    ASSERT_FALSE(run.stack_used.empty());
    const unsigned long used = std::stoul(run.stack_used);
    std::printf("alternate stack high-water mark: %lu bytes\n", used);
    EXPECT_GT(used, 0u);
    EXPECT_LE(used, 32768u);
}
