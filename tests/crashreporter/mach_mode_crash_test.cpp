#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report.hpp"
#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/exception.hpp"

namespace lvcrash {
namespace {

namespace darwin = platform::darwin;
namespace fs = std::filesystem;

int marker_fd = -1;
void* fault_page = nullptr;
volatile int sink;

__attribute__((noinline)) void faultHere() {
    sink = *static_cast<volatile int*>(fault_page);
    asm volatile("" ::: "memory");
}

void handleSignal(siginfo_t* info, ucontext_t*, void*) {
    const int signo = info->si_signo;
    if (write(marker_fd, &signo, sizeof signo) != sizeof signo) _exit(80);
}

// Answers like an earlier handler that fixes the fault: the page becomes readable.
void previousHandler(darwin::port_t port) {
    for (;;) {
        alignas(8) unsigned char buffer[512];
        auto* header = reinterpret_cast<darwin::MsgHeader*>(buffer);
        if (darwin::mach_msg(header, darwin::mach_rcv_msg, 0, sizeof buffer, port, 0, darwin::port_null) != 0) continue;
        mprotect(fault_page, static_cast<std::size_t>(getpagesize()), PROT_READ);
        darwin::ExceptionRaiseReply reply{};
        reply.header.msgh_bits = darwin::msgh_bits(darwin::msgh_bits_remote(header->msgh_bits), 0);
        reply.header.msgh_remote_port = header->msgh_remote_port;
        reply.header.msgh_id = header->msgh_id + 100;
        reply.return_code = darwin::kern_success;
        darwin::mach_msg(&reply.header, darwin::mach_send_msg, sizeof reply, 0, darwin::port_null, 0, darwin::port_null);
    }
}

struct Child {
    int status = 0;
    std::vector<int> handled;
};

enum class Crash { fault, uncaughtOnThread, twoRaiseAtOnce, faultWithCustomDataCleared, abortWhileFaulting };

std::atomic<int> ready{0};
std::atomic<int> go{0};
__attribute__((noinline)) void raiseTogether() {
    ready.fetch_add(1);
    while (go.load() == 0) {
    }
    platform::foundation::Exception::raise("GWTestException", "raised on a secondary thread");
}

std::atomic<pid_t> faultingThread{0};
__attribute__((noinline)) void faultTogether() {
    faultingThread = static_cast<pid_t>(syscall(SYS_gettid));
    ready.fetch_add(1);
    while (go.load() == 0) {
    }
    faultHere();
}

// Whether the thread sleeps: the faulting one does once it waits for the exception
// server's answer, that is while its report is being written.
bool sleeping(pid_t tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    std::ifstream in(path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

// The program's own handler of the fault, which the reporter hands it on to: it takes its
// time before the fault ends the process, as a handler that saves the user's work would.
void slowFaultHandler(int signo) {
    const timespec pause{0, 20'000'000};
    nanosleep(&pause, nullptr);
    signal(signo, SIG_DFL);
}

__attribute__((noinline)) void abortTogether() {
    ready.fetch_add(1);
    while (go.load() == 0) {
    }
    while (!sleeping(faultingThread.load())) {
    }
    std::abort();
}

__attribute__((noinline)) void raiseFromHere() {
    platform::foundation::Exception::raise("GWTestException", "raised on a secondary thread");
}

// Two threads crashing at the same moment: each waits for both to be ready.
void runTogether(void (*first)(), void (*second)()) {
    std::thread a(first), b(second);
    while (ready.load() < 2) {
    }
    go.store(1);
    a.join();
    b.join();
}

Child runChild(const fs::path& base, bool withPreviousPort, std::uint64_t mode = LVCrashReporterSignalHandlerTypeMach,
               Crash crash = Crash::fault) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        marker_fd = fds[1];
        fault_page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (withPreviousPort) {
            darwin::port_t port = darwin::port_null;
            darwin::mach_port_allocate(darwin::task_self(), darwin::port_right_receive, &port);
            darwin::mach_port_insert_right(darwin::task_self(), port, port, darwin::msg_type_make_send);
            darwin::task_set_exception_ports(darwin::task_self(), darwin::exc_mask(darwin::exc_bad_access), port,
                                             darwin::exception_default | darwin::mach_exception_codes, 1);
            std::thread(previousHandler, port).detach();
        }
        if (crash == Crash::abortWhileFaulting) {
            for (int signo : {SIGSEGV, SIGBUS}) signal(signo, slowFaultHandler);
        }
        RDLVCrashReporter reporter("com.example.mach/child", "7", "7.0",
                                   RDLVCrashReporterConfig(mode, 0, true, base.string()));
        LVCrashReporterCallbacks callbacks{0, nullptr, handleSignal};
        reporter.setCrashCallbacks(&callbacks);
        reporter.setCustomData(std::vector<std::uint8_t>{1, 2, 3});
        ReporterError error;
        if (!reporter.enableCrashReporterAndReturnError(&error)) _exit(70);
        // Bystanders: the report lists them and they must not keep the process alive.
        for (int i = 0; i < 3; ++i) {
            std::thread([] {
                for (;;) pause();
            }).detach();
        }
        if (crash == Crash::uncaughtOnThread) {
            std::thread(raiseFromHere).join();
        } else if (crash == Crash::twoRaiseAtOnce) {
            runTogether(raiseTogether, raiseTogether);
        } else if (crash == Crash::abortWhileFaulting) {
            runTogether(faultTogether, abortTogether);
        } else if (crash == Crash::faultWithCustomDataCleared) {
            reporter.setCustomData(std::nullopt);
            faultHere();
        } else {
            faultHere();
        }
        _exit(0);
    }
    close(fds[1]);
    Child child;
    int signo = 0;
    while (read(fds[0], &signo, sizeof signo) == sizeof signo) child.handled.push_back(signo);
    close(fds[0]);
    EXPECT_EQ(waitpid(pid, &child.status, 0), pid);
    return child;
}

std::shared_ptr<const CrashReport> readReport(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::optional<platform::foundation::Error> error;
    auto report = CrashReport::decode(bytes, &error);
    EXPECT_TRUE(report) << (error ? error->what() : "");
    return report;
}

class MachModeCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gw-mach-mode-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
    }
    void TearDown() override { fs::remove_all(base_); }
    // The finished reports the child left.
    std::vector<std::string> reports() const {
        return finishedCrashReportPaths(base_ / kCrashReporterFolderName / "com.example.mach_child", kPendingReportName);
    }
    // The one report the child left (a second one would be a second crash written).
    fs::path reportPath() const {
        const auto paths = reports();
        EXPECT_EQ(paths.size(), 1u);
        return paths.empty() ? fs::path() : fs::path(paths.front());
    }
    fs::path base_;
};

TEST_F(MachModeCrashTest, AFaultIsReportedAsItsMachExceptionWithTheFaultingThreadCrashed) {
    Child child = runChild(base_, false);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    EXPECT_EQ(child.handled, std::vector<int>{SIGBUS});  // a protection failure maps to SIGBUS

    auto report = readReport(reportPath());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name, "SIGBUS");
    EXPECT_EQ(report->signalInfo().code, "BUS_ADRERR");
    EXPECT_NE(report->signalInfo().address, 0u);
    ASSERT_TRUE(report->machExceptionInfo().has_value());
    EXPECT_EQ(report->machExceptionInfo()->type, static_cast<std::uint64_t>(darwin::exc_bad_access));
    ASSERT_EQ(report->machExceptionInfo()->codes.size(), 2u);
    EXPECT_EQ(report->machExceptionInfo()->codes[0], static_cast<std::uint64_t>(darwin::kern_protection_failure));
    EXPECT_EQ(report->machExceptionInfo()->codes[1], report->signalInfo().address);
    ASSERT_TRUE(report->customData().has_value());

    // The crashed thread is the faulting one, at the fault; the server thread is there too.
    const auto start = reinterpret_cast<std::uint64_t>(&faultHere);
    int crashed = 0;
    bool faultFrame = false;
    for (const auto& thread : report->threads()) {
        if (!thread.crashed) continue;
        ++crashed;
        ASSERT_FALSE(thread.stackFrames.empty());
        faultFrame = thread.stackFrames[0].instructionPointer >= start &&
                     thread.stackFrames[0].instructionPointer < start + 64;
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_TRUE(faultFrame);
    EXPECT_GE(report->threads().size(), 5u);  // main, server and three bystanders
}

TEST_F(MachModeCrashTest, SignalModeReportsTheFaultWithoutAMachException) {
    Child child = runChild(base_, false, LVCrashReporterSignalHandlerTypeBSD);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    EXPECT_EQ(child.handled, std::vector<int>{SIGSEGV});
    auto report = readReport(reportPath());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name, "SIGSEGV");
    EXPECT_FALSE(report->machExceptionInfo().has_value());
}

TEST_F(MachModeCrashTest, AnUncaughtPlatformExceptionOnAThreadIsReportedAsAnAbortInBothModes) {
    for (std::uint64_t mode : {LVCrashReporterSignalHandlerTypeBSD, LVCrashReporterSignalHandlerTypeMach}) {
        fs::remove_all(base_ / kCrashReporterFolderName);
        Child child = runChild(base_, false, mode, Crash::uncaughtOnThread);
        ASSERT_TRUE(WIFSIGNALED(child.status)) << mode << " " << child.status;
        EXPECT_EQ(WTERMSIG(child.status), SIGABRT) << mode;
        EXPECT_EQ(child.handled, std::vector<int>{SIGABRT}) << mode;
        auto report = readReport(reportPath());
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().name, "SIGABRT") << mode;
        ASSERT_TRUE(report->exceptionInfo().has_value()) << mode;
        EXPECT_EQ(report->exceptionInfo()->exceptionName, "GWTestException");
        EXPECT_EQ(report->exceptionInfo()->exceptionReason, "raised on a secondary thread");
        ASSERT_TRUE(report->exceptionInfo()->stackFrames.has_value());
        ASSERT_FALSE(report->exceptionInfo()->stackFrames->empty());
        // The raising function first.
        const auto first = report->exceptionInfo()->stackFrames->front().instructionPointer;
        const auto start = reinterpret_cast<std::uint64_t>(&raiseFromHere);
        EXPECT_TRUE(first > start && first < start + 128) << std::hex << first << " " << start;
    }
}

TEST_F(MachModeCrashTest, TwoThreadsRaisingAtOnceGiveOneReport) {
    Child child = runChild(base_, false, LVCrashReporterSignalHandlerTypeMach, Crash::twoRaiseAtOnce);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
    EXPECT_EQ(WTERMSIG(child.status), SIGABRT);
    EXPECT_EQ(child.handled, std::vector<int>{SIGABRT});  // one report, one callback
    auto report = readReport(reportPath());
    ASSERT_TRUE(report);
    ASSERT_TRUE(report->exceptionInfo().has_value());
    EXPECT_EQ(report->exceptionInfo()->exceptionName, "GWTestException");
}

TEST_F(MachModeCrashTest, AProcessAbortingWhileAnotherThreadFaultsGivesOneReport) {
    // The fault goes to the exception server, the abort to the signal handler: whichever
    // comes first writes the one report of the incident, and the other waits for the end.
    // The abort comes while the faulting thread waits for the server.
    for (int run = 0; run < 40; ++run) {
        SCOPED_TRACE(run);
        fs::remove_all(base_ / kCrashReporterFolderName);
        Child child = runChild(base_, false, LVCrashReporterSignalHandlerTypeMach, Crash::abortWhileFaulting);
        ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
        EXPECT_EQ(child.handled.size(), 1u);
        ASSERT_EQ(reports().size(), 1u);
        EXPECT_TRUE(readReport(reportPath()));
    }
}

TEST_F(MachModeCrashTest, CustomDataClearedAfterEnablingIsLeftOutOfTheReport) {
    Child child = runChild(base_, false, LVCrashReporterSignalHandlerTypeMach, Crash::faultWithCustomDataCleared);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
    auto report = readReport(reportPath());
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->customData().has_value());
}

TEST_F(MachModeCrashTest, AnEarlierPortThatHandlesTheFaultLeavesNoReport) {
    Child child = runChild(base_, true);
    ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_TRUE(child.handled.empty());
    EXPECT_TRUE(reports().empty());
}

}  // namespace
}  // namespace lvcrash
