#include "telemetry/core/rddi_utility.hpp"

#include "platform/appkit/application_state.hpp"
#include "platform/appkit/workspace.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/security/crypto.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <system_error>
#include <vector>

namespace rddi {
// The SDK's identity in its own read-only section, found in a binary by its name:
// format byte, then name, version and a third field, each 32 NUL-padded ASCII bytes.
struct RDDIVersionRecord {
    unsigned char format;
    char name[32];
    char version[32];
    char third[32];
};
static_assert(sizeof(RDDIVersionRecord) == 97);
}  // namespace rddi

extern "C" {
extern const rddi::RDDIVersionRecord rddi_version_record;
__attribute__((section("__rd_ios"), used, retain)) const rddi::RDDIVersionRecord rddi_version_record = {
    0x01, "dezidedev.macos", "4.3.0", "1"};
}

namespace rddi {

namespace {

std::vector<std::string> components(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(';', start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string removingAll(std::string text, std::string_view part) {
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
    return text;
}

constexpr std::string_view kAppSecretKey = "appsecret=";
constexpr std::string_view kTargetKey = "target=";
constexpr std::string_view kPlatformKey = "macos=";

}  // namespace

std::optional<std::string> RDDIUtility::appSecretFrom(const std::optional<std::string>& startString) {
    if (!startString) return std::nullopt;
    const bool platformKeyed = contains(*startString, kPlatformKey);
    for (const auto& component : components(*startString)) {
        if (component.empty() || contains(component, kTargetKey)) continue;
        std::string secret;
        if (platformKeyed) {
            if (!contains(component, kPlatformKey)) continue;
            secret = removingAll(component, kPlatformKey);
        } else if (!contains(component, kAppSecretKey) && !contains(component, "=")) {
            secret = component;
        } else {
            secret = removingAll(component, kAppSecretKey);
        }
        if (secret.empty()) continue;
        if (!RDDIIsHeaderSafe(secret)) {
            RDDILogError(kRDDILogTag, "The app secret holds a line break or NUL character; it is ignored.");
            return std::nullopt;
        }
        return secret;
    }
    return std::nullopt;
}

std::optional<std::string> RDDIUtility::transmissionTargetTokenFrom(const std::optional<std::string>& startString) {
    if (!startString) return std::nullopt;
    for (const auto& component : components(*startString)) {
        if (component.empty() || !contains(component, kTargetKey)) continue;
        // A "target=" with nothing after it is not a token; a later component may hold one.
        std::string token = removingAll(component, kTargetKey);
        if (token.empty()) continue;
        if (!RDDIIsHeaderSafe(token)) {
            RDDILogError(kRDDILogTag, "The transmission target token holds a line break or NUL character; it is ignored.");
            return std::nullopt;
        }
        return token;
    }
    return std::nullopt;
}

bool RDDIIsHeaderSafe(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

namespace {

// Byte length of the UTF-8 sequence at `at`, and the UTF-16 units it takes. A byte that
// starts no well-formed sequence is one unit on its own: logs carry it as U+FFFD.
std::pair<std::size_t, std::size_t> sequenceAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t bytes = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (bytes == 1 || bytes > text.size() - at || !platform::foundation::isValidUTF8(text.substr(at, bytes))) {
        return {1, 1};
    }
    return {bytes, bytes == 4 ? 2u : 1u};
}

}  // namespace

std::size_t RDDIUTF16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto [bytes, width] = sequenceAt(text, at);
        units += width;
        at += bytes;
    }
    return units;
}

namespace {

// The length in bytes of the longest start of `text` within `limit` UTF-16 units: it
// stops at the first sequence past the limit, however long the text.
std::size_t prefixWithinUTF16Length(std::string_view text, std::size_t limit) {
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto [bytes, width] = sequenceAt(text, at);
        if (units + width > limit) break;
        units += width;
        at += bytes;
    }
    return at;
}

}  // namespace

bool RDDIExceedsUTF16Length(std::string_view text, std::size_t limit) {
    return prefixWithinUTF16Length(text, limit) < text.size();
}

std::string RDDIQuoted(std::string_view text) {
    auto quoted = RDDITruncateToUTF16Length(text, kRDDIMaxQuotedLength);
    if (quoted.size() < text.size()) quoted += "\u2026";
    return quoted;
}

std::string RDDITruncateToUTF16Length(std::string_view text, std::size_t limit) {
    return std::string(text.substr(0, prefixWithinUTF16Length(text, limit)));
}

std::map<std::string, std::string> RDDIUtility::validateProperties(const std::map<std::string, std::string>& properties,
                                                                  const std::string& logName, const std::string& type) {
    constexpr std::size_t kMaxProperties = 20;
    constexpr std::size_t kMaxLength = 125;
    std::map<std::string, std::string> result;
    for (const auto& [key, value] : properties) {
        if (result.size() >= kMaxProperties) {
            RDDILogWarning(kRDDILogTag, "{} '{}' : properties cannot contain more than {} items. Skipping other properties.",
                           type, logName, kMaxProperties);
            break;
        }
        if (key.empty()) {
            RDDILogWarning(kRDDILogTag, "{} '{}' : a property key cannot be null or empty. Property will be skipped.",
                           type, logName);
            continue;
        }
        std::string validKey = key;
        if (RDDIExceedsUTF16Length(key, kMaxLength)) {
            RDDILogWarning(kRDDILogTag,
                           "{} '{}' : property {} : property key length cannot be longer than {} characters. Property "
                           "key will be truncated.",
                           type, RDDIQuoted(logName), RDDIQuoted(key), kMaxLength);
            validKey = RDDITruncateToUTF16Length(key, kMaxLength);
        }
        std::string validValue = value;
        if (RDDIExceedsUTF16Length(value, kMaxLength)) {
            RDDILogWarning(kRDDILogTag,
                           "{} '{}' : property '{}' : property value cannot be longer than {} characters. Property "
                           "value will be truncated.",
                           type, RDDIQuoted(logName), RDDIQuoted(key), kMaxLength);
            validValue = RDDITruncateToUTF16Length(value, kMaxLength);
        }
        result[validKey] = std::move(validValue);
    }
    return result;
}

// --- Strings ----------------------------------------------------------------------

namespace pf = platform::foundation;

std::string RDDIUtility::sha256(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    try {
        return platform::security::hexString(platform::security::sha256(text));
    } catch (const std::exception& e) {
        RDDILogError(kRDDILogTag, "Couldn't compute SHA-256: {}", e.what());
        return {};
    }
}

std::optional<std::string> RDDIUtility::targetKeyFromTargetToken(const std::optional<std::string>& token) {
    if (!token) return std::nullopt;
    std::string key = token->substr(0, token->find('-'));
    if (key.empty()) return std::nullopt;
    return key;
}

std::optional<std::string> RDDIUtility::iKeyFromTargetToken(const std::optional<std::string>& token) {
    const auto key = targetKeyFromTargetToken(token);
    if (!key) return std::nullopt;
    return "o:" + *key;
}

std::optional<std::string> RDDIUtility::prettyPrintJson(const std::optional<pf::Data>& data) {
    if (!data) return std::nullopt;
    const std::string text(data->begin(), data->end());
    const auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return text;
    try {
        // Invalid UTF-8 inside strings is written as U+FFFD rather than failing.
        return parsed.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const std::exception&) {
        return text;
    }
}

std::optional<std::string> RDDIUtility::obfuscateString(const std::optional<std::string>& string,
                                                        const std::string& pattern,
                                                        const std::string& replacementTemplate) {
    if (!string) return std::nullopt;
    std::regex expression;
    try {
        expression = std::regex(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error& e) {
        RDDILogError(kRDDILogTag, "Couldn't create regular expression with pattern\"{}\": {}", pattern, e.what());
        return std::nullopt;
    }
    try {
        return std::regex_replace(*string, expression, replacementTemplate);
    } catch (const std::regex_error& e) {
        RDDILogError(kRDDILogTag, "Couldn't create regular expression with pattern\"{}\": {}", pattern, e.what());
        return std::nullopt;
    }
}

// --- Application ------------------------------------------------------------------

RDDIApplicationState RDDIUtility::applicationState() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && executable.string().find(".appex/") != std::string::npos) return RDDIApplicationState::unknown;
    return sharedAppState();
}

RDDIApplicationState RDDIUtility::sharedAppState() {
    if (!platform::dispatch::MainLoop::isMainThread()) return RDDIApplicationState::unknown;
    const auto& application = platform::appkit::ApplicationState::shared();
    if (application.hasApplication() && application.isHidden()) return RDDIApplicationState::background;
    return RDDIApplicationState::active;
}

void RDDIUtility::sharedAppOpenUrl(const pf::URL& url, std::function<void(bool)> completion) {
    platform::dispatch::DispatchQueue::main().async([url, completion = std::move(completion)] {
        const bool opened = platform::appkit::Workspace::open(url);
        if (completion) completion(opened);
    });
}

// --- Dates ------------------------------------------------------------------------

double RDDIUtility::nowInMilliseconds() {
    return pf::Date::now().timeIntervalSince1970() * 1000.0;
}

std::string RDDIUtility::dateToISO8601(pf::Date date) { return date.iso8601(); }

std::optional<pf::Date> RDDIUtility::dateFromISO8601(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss.SSSZ, nothing more and nothing less.
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != kShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    std::tm parts{};
    parts.tm_year = number(0, 4) - 1900;
    parts.tm_mon = number(5, 2) - 1;
    parts.tm_mday = number(8, 2);
    parts.tm_hour = number(11, 2);
    parts.tm_min = number(14, 2);
    parts.tm_sec = number(17, 2);
    const int milliseconds = number(20, 3);
    const std::tm asGiven = parts;
    const std::time_t seconds = timegm(&parts);
    // timegm normalises out-of-range fields (a 30th of February, minute 61): refuse those.
    if (parts.tm_year != asGiven.tm_year || parts.tm_mon != asGiven.tm_mon || parts.tm_mday != asGiven.tm_mday ||
        parts.tm_hour != asGiven.tm_hour || parts.tm_min != asGiven.tm_min || parts.tm_sec != asGiven.tm_sec) {
        return std::nullopt;
    }
    return pf::Date::fromTimeIntervalSince1970(static_cast<double>(seconds) + milliseconds / 1000.0);
}

// --- The SDK folder -----------------------------------------------------------------

namespace {

std::recursive_mutex& classLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::mutex gDirectoryLock;
std::optional<std::filesystem::path> gDirectory;

}  // namespace

std::filesystem::path RDDIUtility::dezIdedevDirectoryURL() {
    std::lock_guard lock(gDirectoryLock);
    if (!gDirectory) {
        gDirectory = pf::files::applicationSupportDirectory(pf::Bundle::main().bundleIdentifier()) /
                     "com.ridevedod.dezidedev";
        // The SDK's records are the user's own business: never in another's folder, and
        // its own is closed to everyone else.
        if (!folderOfAnotherUser(*gDirectory) && createDirectoryAtURL(*gDirectory)) {
            ::chmod(gDirectory->c_str(), 0700);
        }
    }
    return *gDirectory;
}

void RDDIUtility::resetDezIdedevDirectoryURL() {
    std::lock_guard lock(gDirectoryLock);
    gDirectory.reset();
}

std::optional<std::filesystem::path> RDDIUtility::folderOfAnotherUser(const std::filesystem::path& sdkFolder) {
    static auto* saidLock = new std::mutex;
    static auto* said = new std::set<std::string>;
    static std::atomic<bool> anySaid{false};
    for (const auto& folder : {sdkFolder.parent_path(), sdkFolder}) {
        struct stat info {};
        // One not made yet is made as the user's own; what is no folder is met where it is used.
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid == ::geteuid()) continue;
        std::lock_guard lock(*saidLock);
        if (said->insert(folder.string()).second) {
            anySaid = true;
            RDDILogError(kRDDILogTag, "The folder \"{}\" belongs to another user (uid {}): the SDK keeps none of its "
                         "files in it.", folder.string(), info.st_uid);
        }
        return folder;
    }
    if (anySaid) {
        std::lock_guard lock(*saidLock);
        said->erase(sdkFolder.parent_path().string());
        said->erase(sdkFolder.string());
        anySaid = !said->empty();
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> RDDIUtility::fullURLForPathComponent(const std::optional<std::string>& component) {
    if (!component) return std::nullopt;
    const auto folder = dezIdedevDirectoryURL();
    if (folderOfAnotherUser(folder)) return std::nullopt;
    return folder / *component;
}

bool RDDIUtility::fileExistsForPathComponent(const std::optional<std::string>& component) {
    const auto url = fullURLForPathComponent(component);
    std::error_code error;
    return url && std::filesystem::exists(*url, error);
}

std::optional<std::filesystem::path> RDDIUtility::createFileAtPathComponent(const std::optional<std::string>& component,
                                                                          const std::optional<pf::Data>& data,
                                                                          bool atomically, bool forceOverwrite) {
    std::lock_guard lock(classLock());
    const auto url = fullURLForPathComponent(component);
    if (!url) return std::nullopt;
    std::error_code error;
    if (!forceOverwrite && std::filesystem::exists(*url, error)) return url;
    createDirectoryAtURL(url->parent_path());
    const pf::Data bytes = data.value_or(pf::Data{});
    try {
        if (atomically) {
            pf::files::writeAtomically(*url, bytes, 0600);
        } else {
            std::ofstream out(*url, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out) throw std::runtime_error("write failed");
        }
        return url;
    } catch (const std::exception&) {
        RDDILogError(kRDDILogTag, "Couldn't create new file at path {}", url->string());
        return std::nullopt;
    }
}

std::optional<std::filesystem::path> RDDIUtility::createDirectoryForPathComponent(
    const std::optional<std::string>& component) {
    std::lock_guard lock(classLock());
    const auto url = fullURLForPathComponent(component);
    if (!url || !createDirectoryAtURL(*url)) return std::nullopt;
    ::chmod(url->c_str(), 0700);
    return url;
}

bool RDDIUtility::createDirectoryAtURL(const std::optional<std::filesystem::path>& url) {
    if (!url) return false;
    try {
        pf::files::createDirectories(*url);
    } catch (const std::exception& e) {
        RDDILogError(kRDDILogTag, "Couldn't create directory at {}: {}", url->string(), e.what());
        return false;
    }
    return disableBackupForDirectoryURL(*url);
}

bool RDDIUtility::disableBackupForDirectoryURL(const std::filesystem::path&) { return true; }

std::optional<pf::Data> RDDIUtility::loadDataForPathComponent(const std::optional<std::string>& component) {
    std::lock_guard lock(classLock());
    const auto url = fullURLForPathComponent(component);
    if (!url) return std::nullopt;
    try {
        return pf::files::readData(*url);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool RDDIUtility::deleteItemForPathComponent(const std::optional<std::string>& component) {
    std::lock_guard lock(classLock());
    const auto url = fullURLForPathComponent(component);
    if (!url) return false;
    return deleteFileAtURL(url);
}

bool RDDIUtility::deleteFileAtURL(const std::optional<std::filesystem::path>& url) {
    std::lock_guard lock(classLock());
    if (!url) return false;
    std::error_code error;
    const auto removed = std::filesystem::remove_all(*url, error);
    if (error || removed == 0) {
        const std::string reason = error ? error.message() : std::string("No such file or directory");
        RDDILogDebug(kRDDILogTag, "Couldn't remove item at {}: {}", url->string(), reason);
        return false;
    }
    return true;
}

std::optional<std::vector<std::filesystem::path>> RDDIUtility::contentsOfDirectory(
    const std::optional<std::string>& component) {
    std::lock_guard lock(classLock());
    if (!component || component->empty()) return std::nullopt;
    const auto url = dezIdedevDirectoryURL() / *component;
    std::error_code error;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(url, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        RDDILogDebug(kRDDILogTag, "Couldn't get files in the directory \"{}\": {}", *component, error.message());
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// --- Archiving ----------------------------------------------------------------------

std::optional<pf::Data> RDDIUtility::archiveKeyedData(const pf::Archivable* object) {
    if (!object) return std::nullopt;
    try {
        return pf::KeyedArchiver::archivedData(*object);
    } catch (const std::exception& e) {
        RDDILogError(kRDDILogTag, "Archiving NSData failed with error: {}", e.what());
        return std::nullopt;
    }
}

void RDDIUtility::logUnarchivingFailure(const std::string& reason) {
    RDDILogError(kRDDILogTag, "Unarchiving NSData failed with error: {}", reason);
}

std::shared_ptr<pf::Archivable> RDDIUtility::unarchiveKeyedData(const std::optional<pf::Data>& data) {
    if (!data) return nullptr;
    try {
        auto object = pf::KeyedUnarchiver::unarchiveObject(*data);
        if (!object) logUnarchivingFailure("The archive holds no root object.");
        return object;
    } catch (const std::exception& e) {
        logUnarchivingFailure(e.what());
        return nullptr;
    }
}

void RDDIUtility::addMigrationClasses(const std::map<std::string, std::string>& oldToNewClassName) {
    pf::KeyedUnarchiver::addClassSubstitutions(oldToNewClassName);
}

// --- SDK identity -------------------------------------------------------------------

namespace {

std::string recordField(const char (&field)[32]) { return std::string(field, strnlen(field, sizeof field)); }

}  // namespace

std::string RDDIUtility::sdkName() { return recordField(rddi_version_record.name); }

std::string RDDIUtility::sdkVersion() { return recordField(rddi_version_record.version); }

}  // namespace rddi
