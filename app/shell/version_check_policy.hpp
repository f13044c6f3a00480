#pragma once
// What the desktop application does with the version check's answer, without any window:
// a current build (not older than the record's) is logged and refreshes the asset
// manifest; an older one yields the alert's texts and whether the update is mandatory
// (the caller shows the alert and, when forced, ends the process); a failure is logged.
#include "app/definitions/config_file.hpp"
#include "app/shell/version_checker.hpp"

#include <functional>
#include <optional>
#include <string>

namespace gw {

struct VersionUpdateAlert {
    std::string messageText;
    std::string informativeText;
    std::string buttonTitle;
    // After the alert the process ends (status 0).
    bool forceUpdate = false;
};

class VersionCheckPolicy {
public:
    using ManifestRefresh = std::function<void(ConfigFile::DownloadCompletion)>;
    using ShowAlert = std::function<void(const VersionUpdateAlert&)>;

    // `refresh` defaults to the real manifest download.
    explicit VersionCheckPolicy(ManifestRefresh refresh = ConfigFile::downloadLatestConfig);

    // The alert when `currentBuild` is older than `latestBuild`; otherwise none, after the
    // log line and the start of the manifest refresh.
    std::optional<VersionUpdateAlert> handleSuccess(float currentBuild, float latestBuild,
                                                    const std::optional<std::string>& displayString,
                                                    bool forceUpdate) const;
    void handleFailure(const platform::foundation::Error& error) const;

    // Runs the check with this policy against the bundle's build; `showAlert` runs on the
    // main thread when a newer build exists.
    void run(const OLVVersionChecker& checker, ShowAlert showAlert) const;

private:
    ManifestRefresh refresh_;
};

}  // namespace gw
