#include "platform/foundation/host_facts.hpp"
#include "platform/foundation/process_info.hpp"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform::foundation {

namespace {

std::string trimmed(std::string text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0'; };
    while (!text.empty() && isSpace(text.back())) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && isSpace(text[first])) ++first;
    return text.substr(first);
}

std::string unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out.push_back(value[i]);
    }
    return out;
}

// The script subtag a locale modifier stands for; glibc names scripts in its modifiers.
std::optional<std::string> scriptForModifier(const std::string& modifier) {
    static const std::map<std::string, std::string> kScripts = {
        {"latin", "Latn"},      {"cyrillic", "Cyrl"}, {"devanagari", "Deva"}, {"arabic", "Arab"},
        {"greek", "Grek"},      {"hebrew", "Hebr"},   {"hant", "Hant"},       {"hans", "Hans"},
        {"iqtelif", "Latn"},    {"shaw", "Shaw"},
    };
    std::string lower;
    for (char c : modifier) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (auto it = kScripts.find(lower); it != kScripts.end()) return it->second;
    return std::nullopt;
}

struct PosixLocale {
    std::string language;
    std::string country;
    std::optional<std::string> script;
};

// language[_COUNTRY][.codeset][@modifier]; none for "C", "POSIX" or text without a language.
std::optional<PosixLocale> parseLocale(const std::string& text) {
    std::string rest = text;
    std::string modifier;
    if (auto at = rest.find('@'); at != std::string::npos) {
        modifier = rest.substr(at + 1);
        rest.erase(at);
    }
    if (auto dot = rest.find('.'); dot != std::string::npos) rest.erase(dot);
    PosixLocale locale;
    if (auto underscore = rest.find('_'); underscore != std::string::npos) {
        locale.country = rest.substr(underscore + 1);
        rest.erase(underscore);
    }
    locale.language = rest;
    if (locale.language.empty() || locale.language == "C" || locale.language == "POSIX") return std::nullopt;
    for (char c : locale.language) {
        if (!std::isalpha(static_cast<unsigned char>(c))) return std::nullopt;
    }
    for (char c : locale.country) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            locale.country.clear();
            break;
        }
    }
    if (!modifier.empty()) locale.script = scriptForModifier(modifier);
    return locale;
}

}  // namespace

HostFacts::HostFacts(HostFactsSources sources) : sources_(std::move(sources)) {
    if (!sources_.environment) {
        sources_.environment = [](const std::string& name) -> std::optional<std::string> {
            const char* value = std::getenv(name.c_str());
            if (!value) return std::nullopt;
            return std::string(value);
        };
    }
}

std::optional<std::string> HostFacts::env(const std::string& name) const { return sources_.environment(name); }

std::optional<std::string> HostFacts::firstLine(const std::filesystem::path& relative) const {
    std::ifstream in(sources_.root / relative, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    line = trimmed(line);
    if (line.empty()) return std::nullopt;
    return line;
}

std::string HostFacts::model() const {
    if (auto name = firstLine("sys/class/dmi/id/product_name")) return *name;
    if (auto model = firstLine("proc/device-tree/model")) return *model;
    return kUnknown;
}

std::string HostFacts::oemName() const {
    if (auto vendor = firstLine("sys/class/dmi/id/sys_vendor")) return *vendor;
    return kUnknown;
}

std::map<std::string, std::string> HostFacts::osRelease() const {
    std::map<std::string, std::string> values;
    for (const char* candidate : {"etc/os-release", "usr/lib/os-release"}) {
        std::ifstream in(sources_.root / candidate);
        if (!in) continue;
        std::string line;
        while (std::getline(in, line)) {
            line = trimmed(line);
            if (line.empty() || line.front() == '#') continue;
            const auto equals = line.find('=');
            if (equals == std::string::npos || equals == 0) continue;
            values[line.substr(0, equals)] = unquoted(line.substr(equals + 1));
        }
        break;
    }
    return values;
}

std::string HostFacts::osName() const {
    const auto release = osRelease();
    if (auto it = release.find("NAME"); it != release.end() && !it->second.empty()) return it->second;
    utsname names{};
    if (uname(&names) == 0) return names.sysname;
    return kUnknown;
}

std::string HostFacts::osVersion() const {
    const auto version = operatingSystemVersion(*this);
    if (!version) return kUnknown;
    return std::to_string(version->major) + "." + std::to_string(version->minor) + "." + std::to_string(version->patch);
}

std::string HostFacts::osBuild() const {
    utsname names{};
    if (uname(&names) == 0) return names.release;
    return kUnknown;
}

std::string HostFacts::localeIdentifier() const {
    std::vector<std::string> candidates;
    if (auto language = env("LANGUAGE")) {
        // A colon-separated list of preferences; the first entry is the user's first choice.
        candidates.push_back(language->substr(0, language->find(':')));
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto value = env(name)) candidates.push_back(*value);
    }
    std::optional<PosixLocale> chosen;
    for (const auto& candidate : candidates) {
        auto parsed = parseLocale(candidate);
        if (!parsed) continue;
        if (!chosen) {
            chosen = parsed;
        } else if (chosen->country.empty() && !parsed->country.empty()) {
            chosen->country = parsed->country;
        }
        if (!chosen->country.empty()) break;
    }
    if (!chosen) return "en_US";
    std::string identifier = chosen->language;
    if (chosen->script) identifier += "-" + *chosen->script;
    if (!chosen->country.empty()) identifier += "_" + chosen->country;
    return identifier;
}

int HostFacts::timeZoneOffsetMinutes(std::time_t now) {
    tzset();
    std::tm local{};
    if (!localtime_r(&now, &local)) return 0;
    // Truncated toward zero, as seconds east of UTC divided by 60.
    return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace platform::foundation
