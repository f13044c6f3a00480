#pragma once
// Runs one of our programs as a child process, the way a user's shell would, with a scratch
// environment: no display, and the XDG folders below a test's own folder.
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gwtest {

struct ProgramRun {
    bool exited = false;  // ended by itself, not by a signal or the deadline
    int status = -1;      // its exit status; -1 when killed or out of time
    long maxResidentKiB = 0;
    std::string out;
    std::string err;

    std::vector<std::string> outLines() const;
};

struct ProgramOptions {
    std::filesystem::path workingDirectory;
    // XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_CACHE_HOME go below it.
    std::filesystem::path xdgRoot;
    // Where the child's standard output and error are kept; one file for both interleaves
    // them as written.
    std::filesystem::path outFile;
    std::filesystem::path errFile;
    std::string argv0;  // empty: the program's path
    // "NAME=value" entries put into the scratch environment, replacing the same names.
    std::vector<std::string> environment;
    std::optional<rlim_t> addressSpaceCap;
    // The user and group it runs as (no other groups), for a test run by the superuser.
    std::optional<std::pair<uid_t, gid_t>> user;
    // Generous: a sanitizer build on a loaded machine is slow, and a hang must still end.
    // Past it the program is ended once its processor time (with its children's) has not
    // grown for `stall`: a busy machine slows a run down, it does not stop it.
    std::chrono::seconds deadline{240};
    std::chrono::seconds stall{10};
};

// The parent's environment without display, XDG or NO_COLOR variables, with the XDG folders below `xdgRoot`.
std::vector<std::string> scratchEnvironment(const std::filesystem::path& xdgRoot);
// The scratch environment with the options' own entries.
std::vector<std::string> programEnvironment(const ProgramOptions& options);

// Starts the program; finishProgram() waits for it.
pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const ProgramOptions& options);
ProgramRun finishProgram(pid_t pid, const ProgramOptions& options);

// Whether the process `pid` has ended: gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid);

inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const ProgramOptions& options) {
    return finishProgram(startProgram(program, arguments, options), options);
}

}  // namespace gwtest
