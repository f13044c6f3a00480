#include "support/program_run.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include "support/machine_pace.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace gwtest {

std::vector<std::string> ProgramRun::outLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> scratchEnvironment(const std::filesystem::path& xdgRoot) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto name = text.substr(0, text.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || name == "NO_COLOR" ||
            name.rfind("XDG_", 0) == 0)
            continue;
        env.push_back(text);
    }
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        env.push_back(std::string(name) + "=" + (xdgRoot / name).string());
    }
    return env;
}

std::vector<std::string> programEnvironment(const ProgramOptions& options) {
    auto env = scratchEnvironment(options.xdgRoot);
    for (const auto& entry : options.environment) {
        const auto name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& existing) { return existing.rfind(name, 0) == 0; });
        env.push_back(entry);
    }
    return env;
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const ProgramOptions& options) {
    std::vector<std::string> args{options.argv0.empty() ? program : options.argv0};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto env = programEnvironment(options);
    // Everything the child needs is made before the fork: it only opens, moves and executes.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(options.outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // One file for both keeps the order the two streams were written in.
        const int err = options.errFile == options.outFile
                            ? out
                            : ::open(options.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(126);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (options.addressSpaceCap) {
            const rlimit cap{*options.addressSpaceCap, *options.addressSpaceCap};
            ::setrlimit(RLIMIT_AS, &cap);
        }
        if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(options.user->second) != 0 ||
                             ::setuid(options.user->first) != 0)) {
            ::_exit(126);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    // The state follows the command name, which is in parentheses.
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z' || line[close + 2] == 'X';
}

namespace {

// Waits up to `span` for the end of the process behind `pidfd` (polled every few milliseconds
// where there is none); true once it has ended.
bool endsWithin(int pidfd, pid_t pid, std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (pidfd >= 0) {
            pollfd ready{pidfd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
            if (polled == 1) return true;
            if (polled == 0) return false;
            if (errno != EINTR) return ended(pid);
        } else {
            if (ended(pid)) return true;
            if (left.count() <= 0) return false;
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
        }
    }
}

}  // namespace

ProgramRun finishProgram(pid_t pid, const ProgramOptions& options) {
    if (pid <= 0) {
        ADD_FAILURE() << "the program could not be started";
        return {};
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    bool done = endsWithin(pidfd, pid, options.deadline);
    // Past its deadline a program is ended only once it has stopped making progress: its
    // processor time (and its helpers') has not grown for a while. On a busy machine a run
    // takes several times an idle machine's figure; stopped, blocked or waiting for nothing,
    // it does not.
    for (auto last = processorTimeOf(pid); !done;) {
        done = endsWithin(pidfd, pid, options.stall);
        const auto now = processorTimeOf(pid);
        if (!done && now == last) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "the program did not end: past its deadline of " << options.deadline.count()
                          << " s it made no progress for " << options.stall.count() << " s";
            break;
        }
        last = now;
    }
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    rusage usage{};
    pid_t ended = 0;
    while ((ended = ::wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    ProgramRun run;
    run.exited = ended == pid && WIFEXITED(status);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.maxResidentKiB = usage.ru_maxrss;
    run.out = readFile(options.outFile);
    run.err = readFile(options.errFile);
    return run;
}

}  // namespace gwtest
