// What is put in the crash reporter's place, seen from outside. A host program (this program
// run again) starts the SDK with the crashes service through its public calls against a
// loopback ingestion server, and crashes (a SIGSEGV on a worker thread); the next launch of it
// sends what the crash left. Each case runs in both capture modes (Mach, signals):
//   file-at-folder  a regular file where the reporter's folder belongs, before the crash's launch
//   folder-link     that folder a symbolic link to a folder elsewhere, before the crash's launch
//   hardlink        a hard link to a file of the user's, put at the pending-report path after start
//   symlink         a symbolic link to that file, put there after start
//   fifo            a FIFO, put there after start
// Counters: crash_ms (the crashing launch, start to death), died (1: by SIGSEGV before the
// deadline, no hang), outside_changed (1: the user's file or the folder elsewhere changed),
// sent (crash logs the ingestion server received from the next launch) and the warnings and
// errors the two launches logged.
#include "crashreporter/crash_reporter.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/crashes/rddi_crashes.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"
#include "telemetry/support/http/loopback_server.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kHostVariable = "GW_CRASH_FOLDER_HOST";  // "<crash|next> <url> <put> <outside> <signals>"
constexpr const char* kOutsideContent = "the user's own notes\n";

// --- The host ------------------------------------------------------------------------

__attribute__((noinline)) void writeThroughBrokenPointer() {
    int* volatile target = nullptr;
    asm volatile("movl $1, (%0)" : : "r"(target) : "memory");
}

// Puts `what` in the reporter's place once it is enabled; false when that failed.
bool putAfterStart(const std::string& what, const std::string& outside) {
    if (what != "fifo" && what != "symlink" && what != "hardlink") return true;
    const auto* reporter = rddi::RDDICrashes::sharedInstance()->lvCrashReporter();
    if (!reporter || !reporter->enabled()) return false;
    const std::string pending = reporter->crashReportPath();
    if (what == "fifo") return ::mkfifo(pending.c_str(), 0644) == 0;
    if (what == "symlink") return ::symlink(outside.c_str(), pending.c_str()) == 0;
    return ::link(outside.c_str(), pending.c_str()) == 0;
}

// The crashing launch ends by SIGSEGV; the next one runs the main loop until its input closes.
// Every warning and error of the SDK goes to the output, one a line.
int runHost(const std::string& arguments) {
    std::istringstream words(arguments);
    std::string mode, url, put, outside, signals;
    if (!(words >> mode >> url >> put >> outside >> signals)) return 2;
    rddi::RDDILogger::setLogHandler([](const rddi::RDDILogMessageProvider& provider, rddi::RDDILogLevel level,
                                       const std::string&, const char*, const char*, std::uint32_t) {
        if (level >= rddi::RDDILogLevelWarning && provider) std::printf("log %s\n", provider().c_str());
        std::fflush(stdout);
    });
    rddi::RDDILogger::setCurrentLogLevel(rddi::RDDILogLevelWarning);
    rddi::RDDIDependencyConfiguration::setHttpClient(rddi::RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); })));
    rddi::RDDIDezIdedev::setLogUrl(url);
    if (signals == "1") rddi::RDDICrashes::disableMachExceptionHandler();
    rddi::RDDIDezIdedev::start("5d6b3e3c-8f0e-4a39-9d7a-2b1c0e9f4a11", {rddi::RDDICrashes::serviceClass()});
    if (mode == "crash") {
        if (!putAfterStart(put, outside)) return 3;
        std::thread(writeThroughBrokenPointer).join();
        return 4;
    }
    std::atomic<bool> closed{false};
    std::thread([&] {
        for (int c; (c = std::getchar()) != EOF;) {
        }
        closed = true;
    }).detach();
    platform::dispatch::MainLoop::runUntil([&] { return closed.load(); }, std::chrono::minutes(2));
    std::_Exit(0);
}

// --- The parent ----------------------------------------------------------------------

struct Launch {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

// The environment is made before the fork: the loopback server's threads may hold the
// allocator's lock at that moment, and nothing may allocate between fork and exec.
Launch startHost(const std::string& arguments, const fs::path& home) {
    std::vector<std::string> texts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const char* name : {"HOME=", "XDG_DATA_HOME=", "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", "GW_CRASH_FOLDER"})
            replaced = replaced || text.starts_with(name);
        if (!replaced) texts.push_back(text);
    }
    texts.push_back("HOME=" + home.string());
    texts.push_back("XDG_DATA_HOME=" + (home / ".local/share").string());
    texts.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
    texts.push_back("XDG_CACHE_HOME=" + (home / ".cache").string());
    texts.push_back(std::string(kHostVariable) + "=" + arguments);
    std::vector<char*> envp;
    for (auto& text : texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    char name[] = "crashes_folder_bench";
    char* argv[] = {name, nullptr};

    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return {};
    Launch launch;
    launch.pid = ::fork();
    if (launch.pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::execve("/proc/self/exe", argv, envp.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    launch.input = toChild[1];
    launch.output = fromChild[0];
    return launch;
}

// Everything the host wrote, once it has closed its output.
std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

long countLines(const std::string& text) {
    long lines = 0;
    for (std::size_t at = text.find("log "); at != std::string::npos; at = text.find("\nlog ", at + 1)) ++lines;
    return lines;
}

long crashLogsReceived(const rddi::testkit::LoopbackServer& server) {
    long count = 0;
    for (const auto& request : server.requests()) {
        if (!request.path.starts_with("/logs") || !request.json || !request.json->contains("logs")) continue;
        for (const auto& log : (*request.json)["logs"]) count += log.value("type", "") == "appleError";
    }
    return count;
}

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_CrashWithSomethingInTheReportersPlace(benchmark::State& state, const std::string& put, bool signals) {
    for (auto _ : state) {
        gwtest::TempDir home;
        const fs::path outside = home.path() / "Documents" / "notes.txt";
        const fs::path elsewhere = home.path() / "Elsewhere";
        fs::create_directories(outside.parent_path());
        fs::create_directories(elsewhere);
        std::ofstream(outside) << kOutsideContent;
        const lvcrash::RDLVCrashReporter reporter(
            platform::foundation::Bundle::main(),
            lvcrash::RDLVCrashReporterConfig(0, 0, true, (home.path() / ".cache").string()));
        const fs::path folder = reporter.crashReportDirectory();
        fs::create_directories(folder.parent_path());
        if (put == "file-at-folder") std::ofstream(folder) << "not a folder";
        if (put == "folder-link") fs::create_directory_symlink(elsewhere, folder);
        const std::string target = put == "folder-link" ? elsewhere.string() : outside.string();

        rddi::testkit::LoopbackServer server;
        const std::string common = server.baseURL() + " " + put + " " + target + " " + (signals ? "1" : "0");
        const auto started = Clock::now();
        Launch crash = startHost("crash " + common, home.path());
        ::close(crash.input);
        const int crashStatus = gwtest::waitForChild(crash.pid, std::chrono::seconds(60));
        const double crashMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        const std::string crashOutput = drain(crash.output);

        Launch next = startHost("next " + common, home.path());
        // The crash log goes out once the processing delay has passed.
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (crashLogsReceived(server) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::close(next.input);
        const std::string nextOutput = drain(next.output);
        const int nextStatus = gwtest::waitForChild(next.pid, std::chrono::seconds(60));

        state.SetIterationTime(crashMs / 1000.0);
        state.counters["crash_ms"] = crashMs;
        state.counters["died"] = crashStatus != -1 && WIFSIGNALED(crashStatus) && WTERMSIG(crashStatus) == SIGSEGV;
        state.counters["outside_changed"] =
            contentOf(outside) != kOutsideContent || fs::hard_link_count(outside) != 1 || !fs::is_empty(elsewhere);
        state.counters["sent"] = static_cast<double>(crashLogsReceived(server));
        state.counters["crash_launch_lines"] = static_cast<double>(countLines(crashOutput));
        state.counters["next_launch_lines"] = static_cast<double>(countLines(nextOutput));
        if (nextStatus == -1 || !WIFEXITED(nextStatus)) state.SkipWithError("the next launch did not end");
    }
}

void registerCases() {
    for (const char* put : {"file-at-folder", "folder-link", "hardlink", "symlink", "fifo"}) {
        for (const bool signals : {false, true}) {
            benchmark::RegisterBenchmark(
                (std::string("BM_CrashWithSomethingInTheReportersPlace/") + put + (signals ? "/signals" : "/mach"))
                    .c_str(),
                [put = std::string(put), signals](benchmark::State& state) {
                    BM_CrashWithSomethingInTheReportersPlace(state, put, signals);
                })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* host = std::getenv(kHostVariable)) return runHost(host);
    registerCases();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
