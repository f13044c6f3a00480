#pragma once
// Facts about a running process (id, name, parent, start time, whether a debugger traces it)
// and the operating system's version, read from /proc and os-release. Stands in for the
// kernel's process records and the platform's process-information object.
#include <filesystem>
#include <optional>
#include <string>
#include <sys/time.h>
#include <sys/types.h>

#include "platform/foundation/host_facts.hpp"

namespace platform::foundation {

struct OperatingSystemVersion {
    long major = 0;
    long minor = 0;
    long patch = 0;
};

// Up to three leading dot-separated numbers of an os-release VERSION_ID ("12" gives 12.0.0,
// "22.04" gives 22.4.0); none when the text starts with no number.
std::optional<OperatingSystemVersion> parseOperatingSystemVersion(const std::string& versionId);
// The VERSION_ID of the host's os-release, parsed as above.
std::optional<OperatingSystemVersion> operatingSystemVersion(const HostFacts& facts = HostFacts());

struct ProcessFacts {
    pid_t processID = 0;
    std::optional<std::string> processName;  // the kernel's command name, cut to valid UTF-8
    pid_t parentProcessID = 0;
    timeval startTime{};
    bool traced = false;
};

// The parts of /proc/<pid>/stat a process record needs; none when the line is malformed.
// The name sits between the first "(" and the last ")", so it may itself hold ") (" or blanks.
struct ProcStat {
    std::string name;
    pid_t parentProcessID = 0;
    unsigned long long startTicks = 0;  // field 22: clock ticks after boot
};
std::optional<ProcStat> parseProcStat(const std::string& line);

class ProcessInfo {
public:
    // The facts of a process; none when it does not exist or /proc cannot be read.
    // procRoot is where "<pid>/stat", "<pid>/status" and "stat" are looked for.
    static std::optional<ProcessFacts> forProcess(pid_t pid, const std::filesystem::path& procRoot = "/proc");
    static std::optional<ProcessFacts> current();
};

}  // namespace platform::foundation
