#include "platform/appkit/desktop_tools.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform::appkit::desktop_tools {

namespace {

std::vector<char*> argvPointers(std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (auto& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return pointers;
}

int waitForExit(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

bool spawnDetached(const std::vector<std::string>& arguments) { return spawnDetached(arguments, {}); }

bool spawnDetached(const std::vector<std::string>& arguments, std::function<void(bool succeeded)> onExit) {
    if (arguments.empty()) return false;
    auto argv = arguments;
    auto pointers = argvPointers(argv);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0].c_str(), nullptr, nullptr, pointers.data(), environ) != 0) return false;
    // Not waited for by the caller, but reaped when done so no zombie is left behind
    // (ignoring SIGCHLD instead would change how the whole process waits for children).
    std::thread([child, onExit = std::move(onExit)] {
        const int status = waitForExit(child);
        if (onExit) onExit(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }).detach();
    return true;
}

std::optional<std::string> runCapturingOutput(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return std::nullopt;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    auto argv = arguments;
    auto pointers = argvPointers(argv);
    pid_t child = 0;
    const int started = ::posix_spawnp(&child, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (started != 0) {
        ::close(pipeEnds[0]);
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeEnds[0]);
    const int status = waitForExit(child);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}

}  // namespace platform::appkit::desktop_tools
