#include "platform/foundation/process_info.hpp"

#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace platform::foundation {

namespace {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Longest prefix that is whole UTF-8 (a cut multi-byte sequence at the end is dropped).
std::string validUtf8Prefix(const std::string& text) {
    std::size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    while (i < text.size()) {
        const unsigned char lead = p[i];
        std::size_t follow;
        if (lead == 0) break;
        if (lead < 0x80) follow = 0;
        else if ((lead & 0xE0) == 0xC0) follow = 1;
        else if ((lead & 0xF0) == 0xE0) follow = 2;
        else if ((lead & 0xF8) == 0xF0) follow = 3;
        else break;
        if (follow > text.size() - i - 1) break;
        bool whole = true;
        for (std::size_t k = 1; k <= follow; ++k) whole = whole && (p[i + k] & 0xC0) == 0x80;
        if (!whole) break;
        i += follow + 1;
    }
    return text.substr(0, i);
}

}  // namespace

std::optional<OperatingSystemVersion> parseOperatingSystemVersion(const std::string& versionId) {
    std::vector<long> numbers;
    std::istringstream parts(versionId);
    std::string part;
    while (numbers.size() < 3 && std::getline(parts, part, '.')) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 9) break;
        numbers.push_back(std::stol(part));
    }
    if (numbers.empty()) return std::nullopt;
    numbers.resize(3, 0);
    return OperatingSystemVersion{numbers[0], numbers[1], numbers[2]};
}

std::optional<OperatingSystemVersion> operatingSystemVersion(const HostFacts& facts) {
    const auto release = facts.osRelease();
    const auto it = release.find("VERSION_ID");
    if (it == release.end()) return std::nullopt;
    return parseOperatingSystemVersion(it->second);
}

std::optional<ProcStat> parseProcStat(const std::string& line) {
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    ProcStat stat;
    stat.name = line.substr(open + 1, close - open - 1);
    // Fields after the name, numbered from 3 (state).
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    for (int number = 3; rest >> field; ++number) {
        try {
            if (number == 4) stat.parentProcessID = static_cast<pid_t>(std::stol(field));
            if (number == 22) {
                stat.startTicks = std::stoull(field);
                return stat;
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<ProcessFacts> ProcessInfo::forProcess(pid_t pid, const std::filesystem::path& procRoot) {
    const auto dir = procRoot / std::to_string(pid);
    const auto statText = readFile(dir / "stat");
    if (!statText) return std::nullopt;
    const auto stat = parseProcStat(*statText);
    if (!stat) return std::nullopt;
    ProcessFacts facts;
    facts.processID = pid;
    facts.parentProcessID = stat->parentProcessID;
    // The kernel keeps 15 bytes of the name, which may end inside a multi-byte character.
    const std::string name = validUtf8Prefix(stat->name);
    if (!name.empty()) facts.processName = name;

    unsigned long long bootTime = 0;
    if (const auto systemStat = readFile(procRoot / "stat")) {
        std::istringstream lines(*systemStat);
        std::string line;
        while (std::getline(lines, line))
            if (line.rfind("btime ", 0) == 0) bootTime = std::stoull(line.substr(6));
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0) ticks = 100;
    facts.startTime.tv_sec = static_cast<time_t>(bootTime + stat->startTicks / static_cast<unsigned long long>(ticks));
    facts.startTime.tv_usec =
        static_cast<suseconds_t>((stat->startTicks % static_cast<unsigned long long>(ticks)) * 1000000 / ticks);

    if (const auto status = readFile(dir / "status")) {
        std::istringstream lines(*status);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("TracerPid:", 0) != 0) continue;
            try {
                facts.traced = std::stol(line.substr(10)) != 0;
            } catch (const std::exception&) {
            }
        }
    }
    return facts;
}

std::optional<ProcessFacts> ProcessInfo::current() { return forProcess(getpid()); }

}  // namespace platform::foundation
