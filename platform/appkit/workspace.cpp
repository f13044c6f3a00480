#include "platform/appkit/workspace.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform::appkit {

bool Workspace::open(const std::string& urlText) {
    if (urlText.empty()) return false;
    std::string program = "xdg-open";
    std::string argument = urlText;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    // Not waited for by the caller, but reaped when done so no zombie is left behind
    // (ignoring SIGCHLD instead would change how the whole process waits for children).
    std::thread([child] {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

bool Workspace::open(const foundation::URL& url) { return open(url.absoluteString()); }

}  // namespace platform::appkit
