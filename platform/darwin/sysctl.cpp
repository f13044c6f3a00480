#include "platform/darwin/sysctl.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace platform::darwin {
namespace {

std::string first_line(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

// Physical cores: distinct (package, core) pairs in /proc/cpuinfo, else the logical count.
int physical_cpus() {
    std::ifstream in("/proc/cpuinfo");
    std::set<std::pair<std::string, std::string>> cores;
    std::string line, package;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
        const std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
        if (key == "physical id") package = value;
        if (key == "core id") cores.emplace(package, value);
    }
    if (!cores.empty()) return static_cast<int>(cores.size());
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

std::int32_t host_cpu_type() {
#if defined(__x86_64__)
    return 0x01000007;  // CPU_TYPE_X86_64
#elif defined(__aarch64__)
    return 0x0100000C;  // CPU_TYPE_ARM64
#else
    return -1;
#endif
}

std::int32_t host_cpu_subtype() {
#if defined(__x86_64__)
    return 3;  // CPU_SUBTYPE_X86_64_ALL
#else
    return 0;  // CPU_SUBTYPE_ARM64_ALL
#endif
}

int answer(const void* value, std::size_t size, void* old, std::size_t* oldlen) {
    if (!oldlen) {
        errno = EINVAL;
        return -1;
    }
    if (!old) {
        *oldlen = size;
        return 0;
    }
    if (*oldlen < size) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(old, value, size);
    *oldlen = size;
    return 0;
}

int answer_text(const std::string& text, void* old, std::size_t* oldlen) {
    return answer(text.c_str(), text.size() + 1, old, oldlen);
}

int answer_int(std::int32_t value, void* old, std::size_t* oldlen) { return answer(&value, sizeof value, old, oldlen); }

}  // namespace

int sysctl_by_name(const char* name, void* old, std::size_t* oldlen, const void* newp, std::size_t newlen) {
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    if (newp || newlen) {
        errno = EPERM;
        return -1;
    }
    const std::string key = name;
    utsname uts{};
    if (key == "kern.osrelease" || key == "kern.osversion") {
        if (uname(&uts) != 0) return -1;
        return answer_text(key == "kern.osrelease" ? uts.release : uts.version, old, oldlen);
    }
    if (key == "hw.model") {
        const std::string model = first_line("/sys/class/dmi/id/product_name");
        if (model.empty()) {
            errno = ENOENT;
            return -1;
        }
        return answer_text(model, old, oldlen);
    }
    if (key == "hw.cputype") return answer_int(host_cpu_type(), old, oldlen);
    if (key == "hw.cpusubtype") return answer_int(host_cpu_subtype(), old, oldlen);
    if (key == "hw.logicalcpu" || key == "hw.ncpu")
        return answer_int(static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_ONLN)), old, oldlen);
    if (key == "hw.physicalcpu") return answer_int(physical_cpus(), old, oldlen);
    errno = ENOENT;
    return -1;
}

}  // namespace platform::darwin
