#include "app/shell/version_check_policy.hpp"

#include "app/engine/image_creation_operation.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"

#include <exception>

namespace gw {

VersionCheckPolicy::VersionCheckPolicy(ManifestRefresh refresh) : refresh_(std::move(refresh)) {}

std::optional<VersionUpdateAlert> VersionCheckPolicy::handleSuccess(float currentBuild, float latestBuild,
                                                                    const std::optional<std::string>& displayString,
                                                                    bool forceUpdate) const {
    if (!(currentBuild < latestBuild)) {
        Logger::log("Running the latest version of Glyphwright. Booyah");
        if (refresh_) {
            refresh_([](std::exception_ptr error) {
                if (!error) Logger::log("Refreshed config file successfully");
                else Logger::log("Errored refreshing config file: " + errorDescription(error) + ")");
            });
        }
        return std::nullopt;
    }
    return VersionUpdateAlert{LocalizedString::versionCheckAlertMessageText(displayString.value_or("")),
                              LocalizedString::versionCheckAlertInformativeText(), LocalizedString::genericOk(),
                              forceUpdate};
}

void VersionCheckPolicy::handleFailure(const platform::foundation::Error& error) const {
    Logger::log("Latest version info download failed: " + error.localizedDescription());
}

void VersionCheckPolicy::run(const OLVVersionChecker& checker, ShowAlert showAlert) const {
    const auto policy = *this;
    checker.checkIfCurrentVersion(
        [policy, showAlert](float latestBuild, const std::optional<std::string>& displayString, bool forceUpdate) {
            const auto alert = policy.handleSuccess(OLVVersionChecker::currentAppBuild(), latestBuild, displayString, forceUpdate);
            if (alert && showAlert) showAlert(*alert);
        },
        [policy](const platform::foundation::Error& error) { policy.handleFailure(error); });
}

}  // namespace gw
