#include "telemetry/support/telemetry_test_environment.hpp"

#include "platform/foundation/user_defaults.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_category.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"
#include "platform/appkit/application_state.hpp"
#include "platform/appkit/screen_registry.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"

namespace rddi::testkit {

void TelemetryTestEnvironment::resetSdk() {
    RDDIAnalytics::resetSharedInstance();
    RDDIAnalyticsTransmissionTarget::resetAuthenticationProvider();
    RDDIAnalyticsCategory::resetMissedPageViewName();
    RDDITicketCache::resetSharedInstance();
    RDDIDezIdedev::resetSharedInstance();
    RDDIDeviceTracker::resetSharedInstance();
    RDDISessionContext::resetSharedInstance();
    RDDIUserIdContext::resetSharedInstance();
    RDDIDezIdedevUserDefaults::resetSharedInstance();
    RDDIUtility::resetDezIdedevDirectoryURL();
    platform::foundation::UserDefaults::resetStandard();
}

TelemetryTestEnvironment::TelemetryTestEnvironment(bool captureLogs) {
    resetSdk();
    RDDIDependencyConfiguration::setChannelGroupFactory(
        [group = group_](const platform::foundation::UUID&, const std::string& logUrl) {
            group->setLogUrl(logUrl);
            return std::static_pointer_cast<RDDIChannelGroupProtocol>(group);
        });
    RDDILogger::setLogHandler(&RDDILogger::defaultLogHandler);
    RDDILogger::setCurrentLogLevel(RDDILogLevelAssert);
    RDDILogger::setIsUserDefinedLogLevel(false);
    if (captureLogs) {
        RDDILogger::setLogHandler([mutex = logsMutex_, logs = logs_](const RDDILogMessageProvider& provider,
                                                                     RDDILogLevel level, const std::string& tag,
                                                                     const char*, const char*, std::uint32_t) {
            std::string text = provider ? provider() : std::string();
            std::lock_guard lock(*mutex);
            logs->push_back({level, tag, std::move(text)});
        });
        RDDILogger::setIsUserDefinedLogLevel(false);
    }
}

TelemetryTestEnvironment::~TelemetryTestEnvironment() {
    resetSdk();
    RDDIDependencyConfiguration::setChannelGroupFactory({});
    RDDILogger::setLogHandler(&RDDILogger::defaultLogHandler);
    RDDILogger::setCurrentLogLevel(RDDILogLevelAssert);
    RDDILogger::setIsUserDefinedLogLevel(false);
}

std::vector<CapturedLog> TelemetryTestEnvironment::capturedLogs() const {
    std::lock_guard lock(*logsMutex_);
    return *logs_;
}

bool TelemetryTestEnvironment::logged(RDDILogLevel level, const std::string& message) const {
    for (const auto& entry : capturedLogs()) {
        if (entry.level == level && entry.message == message) return true;
    }
    return false;
}

void TelemetryTestEnvironment::clearLogs() {
    std::lock_guard lock(*logsMutex_);
    logs_->clear();
}

}  // namespace rddi::testkit
