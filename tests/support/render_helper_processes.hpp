#pragma once
// The renderer helpers a process has started, as the kernel lists them: for tests that
// watch, stop or kill them from outside, as a user or a hung system would.
#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace gwtest {

// The children of `parent`, as the kernel lists them for each of its threads.
inline std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t pid; list >> pid;) out.push_back(pid);
    }
    return out;
}

// Whether a child runs the helper program yet. Until it has, the thread that starts it
// waits for it: a child stopped before then would hold up every start, which no user does.
// The kernel keeps the first 15 bytes of a program's name, and the program's own name is
// a prefix of the helper's.
inline bool runsTheRenderHelper(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == std::string("glyphwright-render").substr(0, 15);
}

}  // namespace gwtest
