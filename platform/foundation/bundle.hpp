#pragma once
// The application's bundle: identifier, Info values, resource files and strings tables;
// stands in for the platform's bundle object. On Linux a bundle is a resources folder
// holding "Info.plist", resource files, and strings tables ("<table>.strings", at the
// top or in "en.lproj"/"Base.lproj").
#include "platform/foundation/value.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

class Bundle {
public:
    // A bundle rooted at `resourcesPath`. Missing Info.plist is allowed (no Info values).
    explicit Bundle(std::filesystem::path resourcesPath);
    // A bundle with Info values given directly (tests, tools).
    Bundle(std::filesystem::path resourcesPath, Dictionary infoValues);

    // The application's bundle: $GW_RESOURCES_DIR when set, else the project's
    // resources folder. Made on first use.
    static Bundle& main();
    // Replaces the main bundle (tests; nullptr: made anew on next use). References taken
    // from main() before stay valid.
    static void setMain(std::unique_ptr<Bundle> bundle);

    const std::filesystem::path& resourcesPath() const { return root_; }
    // Info value "CFBundleIdentifier"; "com.norvane.glyphwright" when the Info values lack it.
    std::string bundleIdentifier() const;
    const Dictionary& infoDictionary() const { return info_; }
    Value objectForInfoDictionaryKey(std::string_view key) const;

    // The resource "<name>.<ext>" (ext may be empty or already in name), looked up in
    // `subdirectory`, then in the localisation folders; none when absent.
    std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view extension,
                                                         std::string_view subdirectory = {}) const;

    // The text of `key` in the strings table `table` ("Localizable" when empty). A key
    // missing from the table (or a missing table) gives `value` when that is non-empty,
    // else the key itself. Tables are read once and kept.
    std::string localizedString(std::string_view key, std::string_view value = {}, std::string_view table = {}) const;

private:
    const std::map<std::string, std::string>& table(const std::string& name) const;

    std::filesystem::path root_;
    Dictionary info_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::map<std::string, std::string>> tables_;
};

inline constexpr std::string_view kDefaultBundleIdentifier = "com.norvane.glyphwright";

// Reads the text of a strings file: `"key" = "value";` pairs, C and C++ comments,
// backslash escapes (\n \t \" \\ \Uxxxx); unquoted words are allowed as keys and values.
// A UTF-8 byte-order mark is skipped. Error(propertyListReadCorrupt) on a syntax error.
std::map<std::string, std::string> parseStringsFile(std::string_view text);

}  // namespace platform::foundation
