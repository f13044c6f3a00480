#pragma once
// What the machine and the user's session say about themselves: hardware model and
// maker (DMI, device tree), operating system (os-release, uname), locale (the POSIX
// locale variables) and time zone offset. Stands in for the platform's kernel values,
// process information and current locale. Every read has a fallback; nothing throws.
// The root folder is injectable so tests read a fixture tree instead of the machine's.
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace platform::foundation {

struct HostFactsSources {
    // Where "sys/class/dmi/id", "proc/device-tree" and "etc/os-release" are looked for.
    std::filesystem::path root = "/";
    // Reads one environment variable; none when unset. The process environment by default.
    std::function<std::optional<std::string>(const std::string&)> environment;
};

class HostFacts {
public:
    static constexpr const char* kUnknown = "Unknown";

    explicit HostFacts(HostFactsSources sources = {});

    // DMI product name, else the device-tree model, else "Unknown".
    std::string model() const;
    // DMI system vendor, else "Unknown".
    std::string oemName() const;
    // os-release NAME, else the kernel's name from uname.
    std::string osName() const;
    // os-release VERSION_ID padded to three numbers ("12" gives "12.0.0"); "Unknown"
    // when there is none.
    std::string osVersion() const;
    // The kernel release from uname; "Unknown" when uname fails.
    std::string osBuild() const;
    // Language, "-" and a script when the modifier names one, "_" and country:
    // "sr_RS.UTF-8@latin" gives "sr-Latn_RS". Taken from the first of LANGUAGE (its
    // first entry), LC_ALL, LC_MESSAGES, LANG that names a language; a missing country
    // comes from the next of them that has one. "C", "POSIX" or nothing: "en_US".
    std::string localeIdentifier() const;
    // Minutes east of UTC of local time at `now` (follows TZ).
    static int timeZoneOffsetMinutes(std::time_t now);

    // The key=value pairs of os-release (etc/os-release, else usr/lib/os-release),
    // quotes removed.
    std::map<std::string, std::string> osRelease() const;

private:
    std::optional<std::string> firstLine(const std::filesystem::path& relative) const;
    std::optional<std::string> env(const std::string& name) const;

    HostFactsSources sources_;
};

}  // namespace platform::foundation
