#pragma once
// The one public entry point of the telemetry SDK: configures the process once from a
// start string, builds the shared channel group with the core channel unit, starts the
// services by initialization priority and keeps the SDK's switches in the settings.
// The static class interface forwards to one shared instance.
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/core/rddi_custom_properties.hpp"
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_service.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

// The log pipeline's HTTP client contract (defined there); the entry point only passes
// an injected client on.
class RDDIHttpClientProtocol;

// What the entry point is given instead of making it itself. The log pipeline supplies
// the channel group; tests supply their own.
class RDDIDependencyConfiguration {
public:
    // The client the SDK sends through instead of making its own; none when nothing
    // was injected. Read and written under one lock.
    static std::shared_ptr<RDDIHttpClientProtocol> httpClient();
    static void setHttpClient(std::shared_ptr<RDDIHttpClientProtocol> httpClient);

    using ChannelGroupFactory = std::function<std::shared_ptr<RDDIChannelGroupProtocol>(
        const platform::foundation::UUID& installId, const std::string& logUrl)>;

    static ChannelGroupFactory channelGroupFactory();
    static void setChannelGroupFactory(ChannelGroupFactory factory);

    // The Common Schema collector's base URL in place of the default one; none by
    // default. With an app secret the log URL only reaches the Dez Idedev ingestion,
    // so this is the one way to point the collector elsewhere (a test server).
    static std::optional<std::string> vudEzezevuvoBaseUrl();
    static void setVudEzezevuvoBaseUrl(std::optional<std::string> baseUrl);
};

class RDDIDezIdedev : public std::enable_shared_from_this<RDDIDezIdedev> {
public:
    static constexpr const char* kDefaultLogUrl = "https://in.dezidedev.ridevedod.com";
    static constexpr long kMinimumStorageSizeInBytes = 24576;

    // --- Class interface ---------------------------------------------------------
    static std::shared_ptr<RDDIDezIdedev> sharedInstance();
    // The next sharedInstance() makes a fresh, unconfigured instance; the settings stay.
    static void resetSharedInstance();

    static void configureWithAppSecret(const std::optional<std::string>& startString);
    static void configure();
    static void start(const std::optional<std::string>& startString, const std::vector<RDDIServiceClass>& services);
    static void startWithServices(const std::vector<RDDIServiceClass>& services);
    static void startFromLibraryWithServices(const std::vector<RDDIServiceClass>& services);
    static void startService(const RDDIServiceClass& service);

    static bool isConfigured();
    static bool isRunningInDezIdedevTestCloud();

    static void setLogUrl(const std::string& logUrl);
    static std::optional<std::string> logUrl();

    static void setEnabled(bool isEnabled);
    // False (and logs) before configuration, else the stored switch.
    static bool isEnabled();
    static void setNetworkRequestsAllowed(bool isAllowed);
    static bool isNetworkRequestsAllowed();
    static platform::foundation::UUID installId();

    static RDDILogLevel logLevel();
    // The first call also lets out the application-delegate forwarder's buffered traces.
    static void setLogLevel(RDDILogLevel level);
    static bool isAppDelegateForwarderEnabled();
    static RDDILogHandler logHandler();
    static void setLogHandler(RDDILogHandler handler);

    // Sends the properties in a custom-properties log on the core unit; none or an
    // empty set is refused.
    static void setCustomProperties(const std::shared_ptr<RDDICustomProperties>& customProperties);
    static void setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler);
    static bool isDebuggerAttached();

    static void setWrapperSdk(std::shared_ptr<RDDIWrapperSdk> wrapperSdk);
    static std::shared_ptr<RDDIWrapperSdk> wrapperSdk();
    static void setCountryCode(const std::optional<std::string>& countryCode);
    static std::optional<std::string> countryCode();
    static std::optional<std::string> userId();
    // Only after a configuration from the application with a secret or a target token,
    // and only an id valid for every kind of target configured.
    static void setUserId(const std::optional<std::string>& userId);
    static std::string sdkVersion();

    static const char* logTag() { return "DezIdedev"; }
    static const char* groupId() { return "DezIdedev"; }

    // --- Instance ----------------------------------------------------------------
    RDDIDezIdedev();
    RDDIDezIdedev(const RDDIDezIdedev&) = delete;
    RDDIDezIdedev& operator=(const RDDIDezIdedev&) = delete;

    bool configureWithAppSecret(const std::optional<std::string>& appSecret,
                                const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    void start(const std::optional<std::string>& startString, const std::vector<RDDIServiceClass>& services,
               bool fromApplication);
    void startServices(const std::vector<RDDIServiceClass>& services, const std::optional<std::string>& appSecret,
                       const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
    // Highest initialization priority first.
    static std::vector<RDDIServiceClass> sortServices(const std::vector<RDDIServiceClass>& services);
    bool startService(const RDDIServiceClass& service, const std::optional<std::string>& appSecret,
                      const std::optional<std::string>& transmissionTargetToken, bool fromApplication);

    void applyPipelineEnabledState(bool isEnabled);
    void initializeChannelGroup();
    bool canBeUsed() const;
    void sendStartServiceLog(const std::vector<std::string>& serviceNames);
    void sendCustomPropertiesLog(const platform::foundation::Dictionary& properties);
    // "DEZ_IDEDEV_DISABLE" names the service, or "All".
    static bool shouldDisable(const std::string& serviceName);

    bool sdkConfigured() const { return sdkConfigured_; }
    bool configuredFromApplication() const { return configuredFromApplication_; }
    bool isEnabledStateUpdating() const { return enabledStateUpdating_; }
    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup() const;
    std::shared_ptr<RDDIChannelUnitProtocol> channelUnit() const;
    std::vector<std::shared_ptr<RDDIServiceInternal>> services() const;
    std::optional<std::vector<std::string>> startedServiceNames() const;
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;

private:
    void instanceSetEnabled(bool isEnabled);
    bool storedEnabled() const;
    void instanceSetNetworkRequestsAllowed(bool isAllowed);
    bool storedNetworkRequestsAllowed() const;
    void instanceSetLogUrl(const std::string& logUrl);
    platform::foundation::UUID instanceInstallId();
    void instanceSetMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler);
    void instanceSetCustomProperties(const std::shared_ptr<RDDICustomProperties>& customProperties);
    void instanceSetUserId(const std::optional<std::string>& userId);

    mutable std::recursive_mutex lock_;
    std::atomic<bool> sdkConfigured_{false};
    std::atomic<bool> configuredFromApplication_{false};
    std::atomic<bool> enabledStateUpdating_{false};
    bool setMaxStorageSizeHasBeenCalled_ = false;
    std::optional<platform::foundation::UUID> installId_;
    std::optional<std::string> logUrl_;
    std::shared_ptr<RDDIChannelUnitProtocol> channelUnit_;
    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup_;
    std::shared_ptr<RDDIChannelDelegate> vudEzezevuvoChannelDelegate_;
    std::vector<std::shared_ptr<RDDIServiceInternal>> services_;
    std::optional<std::vector<std::string>> startedServiceNames_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
    std::optional<long> requestedMaxStorageSizeInBytes_;
    std::function<void(bool)> maxStorageSizeCompletionHandler_;
};

}  // namespace rddi
