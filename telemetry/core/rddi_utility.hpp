#pragma once
// Stateless helpers the whole SDK shares: the start string, property validation, target
// tokens, JSON and text helpers, dates, the SDK folder with its locked file operations,
// keyed archiving with old class names, the SDK's identity and the application state.
// Failures are logged and answered with none or false; nothing throws.
#include "platform/foundation/date.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rddi {

// What the application is doing, as logs report it.
enum class RDDIApplicationState : int { active = 0, background = 2, unknown = 3 };

// The application environment; always "other" on this platform.
inline constexpr int RDDIEnvironmentOther = 99;

class RDDIUtility {
public:
    // --- Strings ----------------------------------------------------------------
    // SHA-256 of the text's bytes (up to a first NUL), 64 lower-case hex digits. Text
    // beyond ASCII is hashed as its UTF-8 bytes.
    static std::string sha256(std::string_view text);
    // The token's part before the first "-"; none when that part is empty.
    static std::optional<std::string> targetKeyFromTargetToken(const std::optional<std::string>& token);
    // "o:" and the target key; none without a target key.
    static std::optional<std::string> iKeyFromTargetToken(const std::optional<std::string>& token);
    // Indented JSON with "/" unescaped; bytes that are not JSON come back as text.
    static std::optional<std::string> prettyPrintJson(const std::optional<platform::foundation::Data>& data);
    // Every case-insensitive match of `pattern` replaced by `replacementTemplate` ($1 …
    // refer to groups). A pattern that does not compile is logged and gives none.
    static std::optional<std::string> obfuscateString(const std::optional<std::string>& string,
                                                      const std::string& pattern,
                                                      const std::string& replacementTemplate);

    // The app secret of a start string such as "appsecret=…;target=…" or "macos=…".
    static std::optional<std::string> appSecretFrom(const std::optional<std::string>& startString);
    // The transmission target token given after "target=".
    static std::optional<std::string> transmissionTargetTokenFrom(const std::optional<std::string>& startString);

    // At most 20 entries with non-empty keys; keys and values cut to 125 UTF-16 units.
    // `type` and `logName` name the log in the warnings.
    static std::map<std::string, std::string> validateProperties(const std::map<std::string, std::string>& properties,
                                                                 const std::string& logName, const std::string& type);

    // --- Application ------------------------------------------------------------
    static int currentAppEnvironment() { return RDDIEnvironmentOther; }
    // Provisioning profiles and store receipts don't exist here: both answer false.
    static bool hasEmbeddedMobileProvision() { return false; }
    static bool isAppStoreReceiptSandbox() { return false; }
    // Unknown inside an extension, else sharedAppState().
    static RDDIApplicationState applicationState();
    // Unknown off the main thread; background when the application is hidden; active
    // otherwise, and also without an application object (the command line).
    static RDDIApplicationState sharedAppState();
    // Opens the URL with the desktop's opener on the main queue and hands the outcome to
    // the completion (also on the main queue).
    static void sharedAppOpenUrl(const platform::foundation::URL& url, std::function<void(bool)> completion);

    // --- Dates ------------------------------------------------------------------
    static double nowInMilliseconds();
    // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC.
    static std::string dateToISO8601(platform::foundation::Date date);
    // Accepts exactly that pattern with a real calendar date; anything else gives none.
    static std::optional<platform::foundation::Date> dateFromISO8601(std::string_view text);

    // --- The SDK folder ---------------------------------------------------------
    // "$XDG_DATA_HOME/<bundle id>/com.ridevedod.dezidedev", made (mode 0700) on first use.
    static std::filesystem::path dezIdedevDirectoryURL();
    // Forgets the folder so the next use computes it anew (tests that move XDG folders).
    static void resetDezIdedevDirectoryURL();
    // The one of `sdkFolder` and the application's folder holding it that another user
    // made (in a data home shared with them, say): none of the SDK's files is made, written
    // or read in it. One ERROR line names it, once until it is this user's again. None
    // when both are this user's, or not made yet.
    static std::optional<std::filesystem::path> folderOfAnotherUser(const std::filesystem::path& sdkFolder);
    // None while the SDK's folder is another user's.
    static std::optional<std::filesystem::path> fullURLForPathComponent(const std::optional<std::string>& component);
    static bool fileExistsForPathComponent(const std::optional<std::string>& component);
    // Writes the file (empty when no data); an existing file is kept and its URL returned
    // unless overwriting is asked for. None on failure.
    static std::optional<std::filesystem::path> createFileAtPathComponent(
        const std::optional<std::string>& component, const std::optional<platform::foundation::Data>& data,
        bool atomically, bool forceOverwrite);
    // A folder of the SDK's, mode 0700; none when it cannot be made or is not the SDK's to use.
    static std::optional<std::filesystem::path> createDirectoryForPathComponent(
        const std::optional<std::string>& component);
    static bool createDirectoryAtURL(const std::optional<std::filesystem::path>& url);
    // Nothing backs the folder up on Linux, so there is nothing to exclude: true.
    static bool disableBackupForDirectoryURL(const std::filesystem::path& url);
    static std::optional<platform::foundation::Data> loadDataForPathComponent(
        const std::optional<std::string>& component);
    static bool deleteItemForPathComponent(const std::optional<std::string>& component);
    static bool deleteFileAtURL(const std::optional<std::filesystem::path>& url);
    // The entries of the folder, sorted; none (and logged) when it cannot be read.
    static std::optional<std::vector<std::filesystem::path>> contentsOfDirectory(
        const std::optional<std::string>& component);

    // --- Archiving --------------------------------------------------------------
    static std::optional<platform::foundation::Data> archiveKeyedData(const platform::foundation::Archivable* object);
    // None (and "Unarchiving NSData failed with error: %@") for bytes that are not an
    // archive, an unknown class, or fields of the wrong type.
    static std::shared_ptr<platform::foundation::Archivable> unarchiveKeyedData(
        const std::optional<platform::foundation::Data>& data);
    // As above, and the root must be a T.
    template <class T>
    static std::shared_ptr<T> unarchiveKeyedData(const std::optional<platform::foundation::Data>& data) {
        auto object = unarchiveKeyedData(data);
        if (!object) return nullptr;
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (!typed) logUnarchivingFailure("The archive's root object has an unexpected class.");
        return typed;
    }
    // Old archived class names and the classes that decode them now.
    static void addMigrationClasses(const std::map<std::string, std::string>& oldToNewClassName);
    static void logUnarchivingFailure(const std::string& reason);

    // --- SDK identity (from the version record) ---------------------------------
    static std::string sdkName();
    static std::string sdkVersion();
};

// False when the text holds CR, LF or NUL: such a secret, token or ticket would break
// out of the HTTP header it is sent in, so it is refused where it enters the SDK.
bool RDDIIsHeaderSafe(std::string_view text);

// Length of UTF-8 text in UTF-16 units.
std::size_t RDDIUTF16Length(std::string_view text);
// Whether UTF-8 text is longer than `limit` UTF-16 units. Reads no further than the
// limit takes it, so a value of megabytes is measured as fast as a short one.
bool RDDIExceedsUTF16Length(std::string_view text, std::size_t limit);
// The longest prefix of at most `limit` UTF-16 units; never splits a character.
std::string RDDITruncateToUTF16Length(std::string_view text, std::size_t limit);

// The most of a value a log line quotes, in UTF-16 units.
inline constexpr std::size_t kRDDIMaxQuotedLength = 256;
// A value as a log line quotes it: its first kRDDIMaxQuotedLength UTF-16 units, and "…"
// where it was cut. A refused value of megabytes would otherwise make a line as long.
std::string RDDIQuoted(std::string_view text);
}  // namespace rddi
