#pragma once
// Asks whether a newer build exists: fetches the version record
// "glyphwright_version_config.json" from the folder the asset manifest is downloaded from
// (Info value GWManifestDownloadFolder), bypassing any local cache, and hands its three
// values to the caller. Both handlers run on the main queue.
#include "platform/foundation/error.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

// What a settings store reads from a text as a float: the leading decimal number after
// any white space ("1.2.3" is 1.2, "42abc" is 42), 0 when there is none.
float floatValue(std::string_view text);

class OLVVersionChecker {
public:
    static constexpr std::string_view kRecordFileName = "glyphwright_version_config.json";
    // Domain of the checker's own failures (no download folder, a body that is not a
    // JSON object); transport and status failures keep the network's domain.
    static constexpr std::string_view kErrorDomain = "glyphwright.version-check";
    enum class ErrorCode : int { noDownloadFolder = 1, unacceptableContentType = 2, invalidRecord = 3 };

    using Success = std::function<void(float latestBuild, const std::optional<std::string>& displayString,
                                       bool forceUpdate)>;
    using Failure = std::function<void(const platform::foundation::Error& error)>;

    // Returns at once; exactly one handler runs later, on the main queue.
    void checkIfCurrentVersion(Success success, Failure failure) const;

    // The main bundle's "CFBundleShortVersionString" and "CFBundleVersion" read as floats.
    static float currentAppVersion();
    static float currentAppBuild();
};

}  // namespace gw
