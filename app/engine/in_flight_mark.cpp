#include "app/engine/in_flight_mark.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

namespace gw {

namespace files = platform::foundation::files;

namespace {

constexpr std::string_view kFirstLine = "glyphwright in-flight 1";

std::string bootIdentity() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string boot;
    std::getline(in, boot);
    return boot.empty() ? "-" : boot;
}

// The state and the start time (in clock ticks after boot) of a process, from
// "<pid> (<name>) <state> ... <start time, field 22> ...", where the name may hold anything.
struct ProcessFacts {
    char state = '?';
    std::uint64_t started = 0;
};

std::optional<ProcessFacts> processFacts(std::uint64_t process) {
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    ProcessFacts facts;
    std::string field;
    for (int number = 3; fields >> field; ++number) {
        if (number == 3) facts.state = field.empty() ? '?' : field[0];
        if (number == 22) {
            std::from_chars(field.data(), field.data() + field.size(), facts.started);
            return facts;
        }
    }
    return std::nullopt;
}

template <typename Number>
bool readNumber(std::string_view text, Number& value) {
    return !text.empty() && std::from_chars(text.data(), text.data() + text.size(), value).ptr == text.data() + text.size();
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> found;
    while (!line.empty()) {
        const auto space = line.find(' ');
        found.push_back(line.substr(0, space));
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
    }
    return found;
}

}  // namespace

std::string_view inFlightKindText(InFlightKind kind) {
    switch (kind) {
    case InFlightKind::replaced: return "replaced";
    case InFlightKind::writing: return "writing";
    case InFlightKind::temporary: return "temporary";
    }
    return "writing";
}

RunIdentity RunIdentity::current() {
    static const std::string boot = bootIdentity();
    // Looked up once per process: a child forked from this one is a run of its own.
    thread_local RunIdentity identity;
    const auto process = static_cast<std::uint64_t>(::getpid());
    if (identity.process != process) {
        identity.boot = boot;
        identity.process = process;
        identity.started = 0;
        if (const auto facts = processFacts(process)) identity.started = facts->started;
    }
    identity.user = ::geteuid();
    return identity;
}

bool RunIdentity::mayStillRun() const {
    if (boot != current().boot) return false;
    if (process == 0 || process > static_cast<std::uint64_t>(INT_MAX)) return false;
    const auto facts = processFacts(process);
    return facts && facts->state != 'Z' && facts->started == started;
}

std::string InFlightMark::text() const {
    std::string facts;
    if (born) facts += fmt::format(" born={}.{:09}", born->seconds, born->nanoseconds);
    if (fileSystem) facts += fmt::format(" fs={}", *fileSystem);
    if (mount) facts += fmt::format(" mount={}", *mount);
    return fmt::format("{}\nrun {} {} {} {}\n{} {} {}{}\n{}", kFirstLine, run.boot, run.process, run.started, run.user,
                       inFlightKindText(kind), item.device, item.inode, facts, original);
}

std::optional<InFlightMark> InFlightMark::parse(std::string_view text) {
    std::vector<std::string_view> lines;
    for (int i = 0; i < 3; ++i) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines[0] != kFirstLine || !isPlainItemName(text)) return std::nullopt;
    InFlightMark mark;
    const auto run = words(lines[1]);
    if (run.size() != 5 || run[0] != "run" || !readNumber(run[2], mark.run.process) ||
        !readNumber(run[3], mark.run.started) || !readNumber(run[4], mark.run.user)) {
        return std::nullopt;
    }
    mark.run.boot = std::string(run[1]);
    const auto item = words(lines[2]);
    if (item.size() < 3 || !readNumber(item[1], mark.item.device) || !readNumber(item[2], mark.item.inode)) {
        return std::nullopt;
    }
    // What else tells the item, as "name=value" words; a mark of a later version may say more.
    for (std::size_t at = 3; at < item.size(); ++at) {
        const auto equals = item[at].find('=');
        if (equals == std::string_view::npos || equals == 0) return std::nullopt;
        const auto name = item[at].substr(0, equals);
        const auto value = item[at].substr(equals + 1);
        if (value.empty()) return std::nullopt;
        if (name == "born") {
            const auto dot = value.find('.');
            platform::foundation::files::Moment moment;
            if (dot == std::string_view::npos || !readNumber(value.substr(0, dot), moment.seconds) ||
                !readNumber(value.substr(dot + 1), moment.nanoseconds) || moment.nanoseconds >= 1'000'000'000) {
                return std::nullopt;
            }
            mark.born = moment;
        } else if (name == "fs") {
            std::uint64_t id = 0;
            if (!readNumber(value, id)) return std::nullopt;
            mark.fileSystem = id;
        } else if (name == "mount") {
            mark.mount = std::string(value);
        }
    }
    bool known = false;
    for (const auto kind : {InFlightKind::replaced, InFlightKind::writing, InFlightKind::temporary}) {
        if (item[0] == inFlightKindText(kind)) {
            mark.kind = kind;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    mark.original = std::string(text);
    return mark;
}

bool InFlightMark::looksLikeOne(std::string_view text) {
    return text.size() > kFirstLine.size() && text.starts_with(kFirstLine) && text[kFirstLine.size()] == '\n';
}

bool isPlainItemName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string_view("/\0\n", 3)) == std::string_view::npos;
}

std::optional<InFlightName> parseInFlightName(std::string_view name) {
    // From the end: the two numbers, then the kind, then the name stood in for.
    const auto number = [](std::string_view text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const auto last = name.rfind('-');
    if (last == std::string_view::npos || !number(name.substr(last + 1))) return std::nullopt;
    const auto before = name.rfind('-', last - 1);
    if (before == std::string_view::npos || before == 0 || !number(name.substr(before + 1, last - before - 1))) {
        return std::nullopt;
    }
    const auto dot = name.rfind('.', before - 1);
    if (dot == std::string_view::npos || dot < 2 || name.front() != '.') return std::nullopt;
    InFlightName parsed;
    const auto kind = name.substr(dot + 1, before - dot - 1);
    bool known = false;
    for (const auto candidate : {InFlightKind::replaced, InFlightKind::writing}) {
        if (kind == inFlightKindText(candidate)) {
            parsed.kind = candidate;
            known = true;
        }
    }
    parsed.original = std::string(name.substr(1, dot - 1));
    if (!known || !isPlainItemName(parsed.original) || !readNumber(name.substr(before + 1, last - before - 1), parsed.process)) {
        return std::nullopt;
    }
    return parsed;
}

bool isNameGivenFor(std::string_view name, const InFlightMark& mark) {
    const auto parsed = parseInFlightName(name);
    return parsed && parsed->original == mark.original && parsed->kind == mark.kind && parsed->process == mark.run.process;
}

InFlightMark markOfThisRun(InFlightKind kind, int fd, const struct stat& item, std::string original) {
    const auto identity = files::identityOf(fd, item);
    return {RunIdentity::current(), kind, identity.numbers, std::move(original), identity.born, identity.fileSystem,
            identity.mount};
}

}  // namespace gw
