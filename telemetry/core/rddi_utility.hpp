#pragma once
// Small helpers of the SDK: reading the start string, validating string properties,
// measuring text as the ingestion counts it (UTF-16 units).
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace rddi {

class RDDIUtility {
public:
    // The app secret of a start string such as "appsecret=…;target=…" or "macos=…".
    static std::optional<std::string> appSecretFrom(const std::optional<std::string>& startString);
    // The transmission target token given after "target=".
    static std::optional<std::string> transmissionTargetTokenFrom(const std::optional<std::string>& startString);

    // At most 20 entries with non-empty keys; keys and values cut to 125 UTF-16 units.
    // `type` and `logName` name the log in the warnings.
    static std::map<std::string, std::string> validateProperties(const std::map<std::string, std::string>& properties,
                                                                 const std::string& logName, const std::string& type);
};

// Length of UTF-8 text in UTF-16 units.
std::size_t RDDIUTF16Length(std::string_view text);
// The longest prefix of at most `limit` UTF-16 units; never splits a character.
std::string RDDITruncateToUTF16Length(std::string_view text, std::size_t limit);
}  // namespace rddi
