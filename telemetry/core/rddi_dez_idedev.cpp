#include "telemetry/core/rddi_dez_idedev.hpp"

#include "platform/log/system_log.hpp"
#include "telemetry/core/rddi_delegate_forwarder.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_pipeline_builders.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr const char* kEnabledKey = "DezIdedevIsEnabled";
constexpr const char* kNetworkRequestsAllowedKey = "NetworkRequestsAllowed";
constexpr const char* kInstallIdKey = "InstallId";

std::mutex gSharedLock;
std::shared_ptr<RDDIDezIdedev> gShared;

std::mutex gDependencyLock;
RDDIDependencyConfiguration::ChannelGroupFactory gChannelGroupFactory;
std::shared_ptr<RDDIHttpClientProtocol> gHttpClient;
std::optional<std::string> gVudEzezevuvoBaseUrl;

const char* configurationSource(bool fromApplication) { return fromApplication ? "" : "from a library "; }

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\n\r\f\v");
    return text.substr(first, last - first + 1);
}

// A start string that gave neither a secret nor a token (empty, "appsecret=" alone, or
// a secret refused for a NUL): without a secret no log tracked without a transmission
// target can be sent, which the host would otherwise only learn from their absence.
void sayWhenNoSecretCameOf(const std::optional<std::string>& startString, const RDDIDezIdedev& sdk) {
    if (!startString || sdk.appSecret() || sdk.defaultTransmissionTargetToken()) return;
    RDDILogError(kRDDILogTag,
                 "Dez Idedev was started without an app secret (the start string holds none that can be used): logs "
                 "tracked without a transmission target cannot be sent, and each is reported to the channel's "
                 "delegates as failed.");
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

}  // namespace

RDDIDependencyConfiguration::ChannelGroupFactory RDDIDependencyConfiguration::channelGroupFactory() {
    std::lock_guard lock(gDependencyLock);
    return gChannelGroupFactory;
}

void RDDIDependencyConfiguration::setChannelGroupFactory(ChannelGroupFactory factory) {
    std::lock_guard lock(gDependencyLock);
    gChannelGroupFactory = std::move(factory);
}

std::shared_ptr<RDDIHttpClientProtocol> RDDIDependencyConfiguration::httpClient() {
    std::lock_guard lock(gDependencyLock);
    return gHttpClient;
}

std::optional<std::string> RDDIDependencyConfiguration::vudEzezevuvoBaseUrl() {
    std::lock_guard lock(gDependencyLock);
    return gVudEzezevuvoBaseUrl;
}

void RDDIDependencyConfiguration::setVudEzezevuvoBaseUrl(std::optional<std::string> baseUrl) {
    std::lock_guard lock(gDependencyLock);
    gVudEzezevuvoBaseUrl = std::move(baseUrl);
}

void RDDIDependencyConfiguration::setHttpClient(std::shared_ptr<RDDIHttpClientProtocol> httpClient) {
    std::lock_guard lock(gDependencyLock);
    gHttpClient = std::move(httpClient);
}

// --- Class interface ---------------------------------------------------------------

std::shared_ptr<RDDIDezIdedev> RDDIDezIdedev::sharedInstance() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) gShared = std::make_shared<RDDIDezIdedev>();
    return gShared;
}

void RDDIDezIdedev::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

void RDDIDezIdedev::configureWithAppSecret(const std::optional<std::string>& startString) {
    auto instance = sharedInstance();
    if (instance->configureWithAppSecret(RDDIUtility::appSecretFrom(startString),
                                         RDDIUtility::transmissionTargetTokenFrom(startString), true)) {
        sayWhenNoSecretCameOf(startString, *instance);
    }
}

void RDDIDezIdedev::configure() { sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true); }

void RDDIDezIdedev::start(const std::optional<std::string>& startString,
                          const std::vector<RDDIServiceClass>& services) {
    sharedInstance()->start(startString, services, true);
}

void RDDIDezIdedev::startWithServices(const std::vector<RDDIServiceClass>& services) {
    sharedInstance()->start(std::nullopt, services, true);
}

void RDDIDezIdedev::startFromLibraryWithServices(const std::vector<RDDIServiceClass>& services) {
    sharedInstance()->start(std::nullopt, services, false);
}

void RDDIDezIdedev::startService(const RDDIServiceClass& service) {
    if (!service) return;
    auto instance = sharedInstance();
    instance->startServices({service}, instance->appSecret(), instance->defaultTransmissionTargetToken(), true);
}

bool RDDIDezIdedev::isConfigured() {
    auto instance = sharedInstance();
    return instance->sdkConfigured() && instance->configuredFromApplication();
}

bool RDDIDezIdedev::isRunningInDezIdedevTestCloud() {
    const char* value = std::getenv("RUNNING_IN_DEZ_IDEDEV");
    return value && std::string(value) == "1";
}

void RDDIDezIdedev::setLogUrl(const std::string& logUrl) { sharedInstance()->instanceSetLogUrl(logUrl); }

std::optional<std::string> RDDIDezIdedev::logUrl() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->lock_);
    return instance->logUrl_;
}

void RDDIDezIdedev::setEnabled(bool isEnabled) { sharedInstance()->instanceSetEnabled(isEnabled); }

bool RDDIDezIdedev::isEnabled() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->lock_);
    return instance->canBeUsed() && instance->storedEnabled();
}

void RDDIDezIdedev::setNetworkRequestsAllowed(bool isAllowed) {
    sharedInstance()->instanceSetNetworkRequestsAllowed(isAllowed);
}

bool RDDIDezIdedev::isNetworkRequestsAllowed() {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->lock_);
    return instance->storedNetworkRequestsAllowed();
}

pf::UUID RDDIDezIdedev::installId() { return sharedInstance()->instanceInstallId(); }

RDDILogLevel RDDIDezIdedev::logLevel() { return RDDILogger::currentLogLevel(); }

void RDDIDezIdedev::setLogLevel(RDDILogLevel level) {
    RDDILogger::setCurrentLogLevel(level);
    // The forwarder's traces waited for a level to be filtered by.
    RDDIAppDelegateForwarder::sharedInstance();
    RDDIDelegateForwarder::flushTraceBuffer();
}

bool RDDIDezIdedev::isAppDelegateForwarderEnabled() { return RDDIAppDelegateForwarder::sharedInstance()->isEnabled(); }

RDDILogHandler RDDIDezIdedev::logHandler() { return RDDILogger::logHandler(); }

void RDDIDezIdedev::setLogHandler(RDDILogHandler handler) { RDDILogger::setLogHandler(std::move(handler)); }

void RDDIDezIdedev::setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    sharedInstance()->instanceSetMaxStorageSize(sizeInBytes, std::move(completionHandler));
}

void RDDIDezIdedev::setCustomProperties(const std::shared_ptr<RDDICustomProperties>& customProperties) {
    sharedInstance()->instanceSetCustomProperties(customProperties);
}

bool RDDIDezIdedev::isDebuggerAttached() {
    // A traced process names its tracer in its status record.
    static const bool attached = [] {
        std::ifstream status("/proc/self/status");
        if (!status) {
            platform::log::SystemLog("com.ridevedod.dezidedev", "DezIdedev")
                .log("[RDDICrashes] ERROR: Checking for a running debugger via sysctl() failed.");
            return false;
        }
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
        }
        return false;
    }();
    return attached;
}

void RDDIDezIdedev::setWrapperSdk(std::shared_ptr<RDDIWrapperSdk> wrapperSdk) {
    RDDIDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

std::shared_ptr<RDDIWrapperSdk> RDDIDezIdedev::wrapperSdk() { return RDDIDeviceTracker::sharedInstance()->wrapperSdk(); }

void RDDIDezIdedev::setCountryCode(const std::optional<std::string>& countryCode) {
    RDDIDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}

std::optional<std::string> RDDIDezIdedev::countryCode() { return RDDIDeviceTracker::sharedInstance()->countryCode(); }

std::optional<std::string> RDDIDezIdedev::userId() { return RDDIUserIdContext::sharedInstance()->userId(); }

void RDDIDezIdedev::setUserId(const std::optional<std::string>& userId) { sharedInstance()->instanceSetUserId(userId); }

std::string RDDIDezIdedev::sdkVersion() { return RDDIUtility::sdkVersion(); }

// --- Instance ----------------------------------------------------------------------

RDDIDezIdedev::RDDIDezIdedev() {
    RDDIDezIdedevUserDefaults::shared()->migrateKeys(
        {
            {"RDDezIdedevChannelStartTimer", RDDIUserDefaultsPrefixKey{"RDChannelStartTimer"}},
            {"RDDezIdedevPastDevices", std::string("pastDevicesKey")},
            {"RDDezIdedevInstallId", std::string("RDInstallId")},
            {"RDDezIdedevDezIdedevIsEnabled", std::string("RDDezIdedevIsEnabled")},
            {"RDDezIdedevEncryptionKeyMetadata", std::string("RDEncryptionKeyMetadata")},
            {"RDDezIdedevSessionIdHistory", std::string("SessionIdHistory")},
            {"RDDezIdedevUserIdHistory", std::string("UserIdHistory")},
        },
        "DezIdedev");
    // Records archived by earlier versions under their old class names.
    RDDIRegisterCoreArchiveClasses();
}

bool RDDIDezIdedev::configureWithAppSecret(const std::optional<std::string>& appSecret,
                                           const std::optional<std::string>& transmissionTargetToken,
                                           bool fromApplication) {
    std::lock_guard lock(lock_);
    if (configuredFromApplication_ && fromApplication) {
        RDDILogAssert(kRDDILogTag, "Dez Idedev SDK has already been configured.");
        RDDILogAssert(kRDDILogTag, "Dez Idedev SDK configuration {}failed.", configurationSource(fromApplication));
        return false;
    }
    if (!appSecret_) {
        appSecret_ = appSecret;
        RDDISessionContext::sharedInstance()->setSessionId(std::nullopt);
    }
    if (!defaultTransmissionTargetToken_) defaultTransmissionTargetToken_ = transmissionTargetToken;
    RDDIUserIdContext::sharedInstance();
    initializeChannelGroup();
    applyPipelineEnabledState(storedEnabled());
    sdkConfigured_ = true;
    configuredFromApplication_ = configuredFromApplication_ || fromApplication;
    // On this platform the application environment is always "other": quieter than at start.
    if (!RDDILogger::isUserDefinedLogLevel()) setLogLevel(RDDILogLevelWarning);
    RDDILogInfo(kRDDILogTag, "Dez Idedev SDK configured {}successfully.", configurationSource(fromApplication));
    return true;
}

void RDDIDezIdedev::start(const std::optional<std::string>& startString,
                          const std::vector<RDDIServiceClass>& services, bool fromApplication) {
    const auto appSecret = RDDIUtility::appSecretFrom(startString);
    const auto token = RDDIUtility::transmissionTargetTokenFrom(startString);
    if (configureWithAppSecret(appSecret, token, fromApplication)) {
        sayWhenNoSecretCameOf(startString, *this);
        startServices(services, appSecret, token, fromApplication);
    }
}

std::vector<RDDIServiceClass> RDDIDezIdedev::sortServices(const std::vector<RDDIServiceClass>& services) {
    std::vector<RDDIServiceClass> sorted = services;
    if (sorted.size() < 2) return sorted;
    auto priority = [](const RDDIServiceClass& service) -> std::int64_t {
        auto instance = service ? service.sharedInstance() : nullptr;
        return instance ? instance->initializationPriority() : std::numeric_limits<std::int64_t>::min();
    };
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const auto& a, const auto& b) { return priority(a) > priority(b); });
    return sorted;
}

void RDDIDezIdedev::startServices(const std::vector<RDDIServiceClass>& services,
                                  const std::optional<std::string>& appSecret,
                                  const std::optional<std::string>& transmissionTargetToken, bool fromApplication) {
    if (!sdkConfigured_) return;
    const auto sorted = sortServices(services);
    std::vector<std::string> classNames;
    for (const auto& service : sorted) classNames.push_back(service ? service.name : "(null)");
    RDDILogVerbose(kRDDILogTag, "Start services {} from {}", joined(classNames, ", "),
                   fromApplication ? "an application" : "a library");
    std::vector<std::string> started;
    for (const auto& service : sorted) {
        if (startService(service, appSecret, transmissionTargetToken, fromApplication)) {
            started.push_back(service.sharedInstance()->serviceName());
        }
    }
    if (started.empty()) {
        RDDILogDebug(kRDDILogTag, "No services have been started.");
    } else if (fromApplication) {
        sendStartServiceLog(started);
    }
}

bool RDDIDezIdedev::startService(const RDDIServiceClass& service, const std::optional<std::string>& appSecret,
                                 const std::optional<std::string>& transmissionTargetToken, bool fromApplication) {
    std::lock_guard lock(lock_);
    auto instance = service ? service.sharedInstance() : nullptr;
    if (!instance) {
        RDDILogError(kRDDILogTag, "Cannot start service {}. Provided value is nil or invalid.",
                     service.name.empty() ? "(null)" : service.name);
        return false;
    }
    if (!sdkConfigured_ || (!configuredFromApplication_ && fromApplication)) {
        RDDILogError(kRDDILogTag, "Dez Idedev has not been configured so it couldn't start the service.");
        return false;
    }
    if (fromApplication && instance->isAvailable() && instance->isStartedFromApplication()) return false;
    if (instance->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
        RDDILogError(kRDDILogTag,
                     "Cannot start service {}. Dez Idedev was started without app secret, but the service requires it.",
                     service.name);
        return false;
    }
    if (shouldDisable(instance->serviceName())) {
        RDDILogDebug(kRDDILogTag, "Environment variable to disable service has been set; not starting service {}",
                     service.name);
        return false;
    }
    if (!instance->isAvailable()) {
        if (std::find(services_.begin(), services_.end(), instance) == services_.end()) services_.push_back(instance);
        instance->startWithChannelGroup(channelGroup_, appSecret, transmissionTargetToken, fromApplication);
        if (instance->classIsEnabled() && !storedEnabled()) {
            enabledStateUpdating_ = true;
            instance->classSetEnabled(false);
            enabledStateUpdating_ = false;
        }
    } else if (fromApplication) {
        instance->updateConfiguration(appSecret, transmissionTargetToken);
    }
    return true;
}

bool RDDIDezIdedev::shouldDisable(const std::string& serviceName) {
    const char* value = std::getenv("DEZ_IDEDEV_DISABLE");
    if (!value) return false;
    const std::string text(value);
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(',', start);
        const std::string part = trimmed(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (part == serviceName || part == "All") return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

void RDDIDezIdedev::initializeChannelGroup() {
    std::lock_guard lock(lock_);
    const auto factory = RDDIDependencyConfiguration::channelGroupFactory();
    // An injected client serves both ingestions: a test's client watches the loopback
    // network, where the Internet watcher of a new client may rightly say "down".
    const auto injectedClient = RDDIDependencyConfiguration::httpClient();
    if (!factory && !vudEzezevuvoChannelDelegate_) {
        auto baseUrl = RDDIDependencyConfiguration::vudEzezevuvoBaseUrl();
        if (!baseUrl && !appSecret_) baseUrl = logUrl_;
        vudEzezevuvoChannelDelegate_ = pipeline::makeVudEzezevuvoChannelDelegate(
            injectedClient ? injectedClient : pipeline::makeHttpClient(), instanceInstallId(), baseUrl);
    }
    if (!channelGroup_) {
        if (factory) {
            channelGroup_ = factory(instanceInstallId(), logUrl_.value_or(kDefaultLogUrl));
        } else {
            channelGroup_ = pipeline::makeChannelGroup(injectedClient ? injectedClient : pipeline::makeHttpClient(),
                                                       instanceInstallId(), logUrl_.value_or(kDefaultLogUrl));
            channelGroup_->addDelegate(vudEzezevuvoChannelDelegate_);
        }
        if (channelGroup_ && requestedMaxStorageSizeInBytes_) {
            channelGroup_->setMaxStorageSize(*requestedMaxStorageSizeInBytes_, maxStorageSizeCompletionHandler_);
        }
    }
    if (!channelGroup_) return;
    channelGroup_->setAppSecret(appSecret_);
    if (!channelUnit_) {
        channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
            RDDIChannelUnitConfiguration::defaultConfiguration(groupId()));
    }
}

void RDDIDezIdedev::instanceSetEnabled(bool isEnabled) {
    std::lock_guard lock(lock_);
    if (!canBeUsed()) return;
    enabledStateUpdating_ = true;
    if (storedEnabled() != isEnabled) {
        RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(isEnabled), kEnabledKey);
        applyPipelineEnabledState(isEnabled);
    }
    for (const auto& service : services_) service->classSetEnabled(isEnabled);
    enabledStateUpdating_ = false;
    RDDILogInfo(kRDDILogTag, "Dez Idedev SDK {}.", isEnabled ? "enabled" : "disabled");
}

bool RDDIDezIdedev::storedEnabled() const {
    const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(kEnabledKey);
    return stored.isNull() ? true : stored.boolValue();
}

void RDDIDezIdedev::applyPipelineEnabledState(bool isEnabled) {
    if (!isEnabled) {
        RDDIDeviceTracker::sharedInstance()->clearDevices();
        RDDISessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        RDDIUserIdContext::sharedInstance()->clearUserIdHistory();
    }
    std::optional<std::vector<std::string>> pending;
    {
        std::lock_guard lock(lock_);
        if (channelGroup_) channelGroup_->setEnabled(isEnabled, true);
        if (isEnabled && startedServiceNames_) {
            pending = std::move(startedServiceNames_);
            startedServiceNames_.reset();
        }
    }
    if (pending) sendStartServiceLog(*pending);
}

void RDDIDezIdedev::sendStartServiceLog(const std::vector<std::string>& serviceNames) {
    std::lock_guard lock(lock_);
    if (storedEnabled()) {
        auto log = std::make_shared<RDDIStartServiceLog>();
        log->services = serviceNames;
        if (channelUnit_) channelUnit_->enqueueItem(std::move(log), RDDIFlagsNormal);
        return;
    }
    if (!startedServiceNames_) startedServiceNames_.emplace();
    startedServiceNames_->insert(startedServiceNames_->end(), serviceNames.begin(), serviceNames.end());
}

void RDDIDezIdedev::instanceSetCustomProperties(const std::shared_ptr<RDDICustomProperties>& customProperties) {
    const pf::Dictionary properties = customProperties ? customProperties->propertiesImmutableCopy() : pf::Dictionary{};
    if (properties.empty()) {
        RDDILogError(kRDDILogTag, "Custom properties may not be null or empty");
        return;
    }
    sendCustomPropertiesLog(properties);
}

void RDDIDezIdedev::instanceSetUserId(const std::optional<std::string>& userId) {
    if (!configuredFromApplication_) {
        RDDILogError(kRDDILogTag, "DezIdedev must be configured from application, libraries cannot call setUserId.");
        return;
    }
    const auto secret = appSecret();
    const auto token = defaultTransmissionTargetToken();
    if (!secret && !token) {
        RDDILogError(kRDDILogTag, "DezIdedev must be configured with a secret from application to call setUserId.");
        return;
    }
    if (userId) {
        if (secret && !RDDIUserIdContext::isUserIdValidForDezIdedev(userId)) return;
        if (token && !RDDIUserIdContext::isUserIdValidForVudEzezevuvo(userId)) return;
    }
    RDDIUserIdContext::sharedInstance()->setUserId(userId);
}

void RDDIDezIdedev::sendCustomPropertiesLog(const pf::Dictionary& properties) {
    auto log = std::make_shared<RDDICustomPropertiesLog>();
    log->properties = properties;
    if (auto unit = channelUnit()) unit->enqueueItem(std::move(log), RDDIFlagsNormal);
}

void RDDIDezIdedev::instanceSetNetworkRequestsAllowed(bool isAllowed) {
    std::lock_guard lock(lock_);
    RDDILogInfo(kRDDILogTag, "Dez Idedev SDK network requests are {}.", isAllowed ? "allowed" : "forbidden");
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(isAllowed), kNetworkRequestsAllowedKey);
    if (!canBeUsed() || !channelGroup_) return;
    if (isAllowed) {
        channelGroup_->resumeWithIdentifyingObject(channelGroup_);
    } else {
        channelGroup_->pauseWithIdentifyingObject(channelGroup_);
    }
}

bool RDDIDezIdedev::storedNetworkRequestsAllowed() const {
    const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(kNetworkRequestsAllowedKey);
    return stored.isNull() ? true : stored.boolValue();
}

void RDDIDezIdedev::instanceSetLogUrl(const std::string& logUrl) {
    std::lock_guard lock(lock_);
    logUrl_ = logUrl;
    if (!channelGroup_) return;
    if (appSecret_) {
        RDDILogInfo(kRDDILogTag, "The log url of Dez Idedev endpoint was changed to {}", logUrl);
        channelGroup_->setLogUrl(logUrl);
    } else {
        RDDILogInfo(kRDDILogTag, "The log url of VudEzezevuvo endpoint was changed to {}", logUrl);
        if (vudEzezevuvoChannelDelegate_) pipeline::setVudEzezevuvoLogUrl(*vudEzezevuvoChannelDelegate_, logUrl);
    }
}

pf::UUID RDDIDezIdedev::instanceInstallId() {
    std::lock_guard lock(lock_);
    if (!installId_) {
        const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(kInstallIdKey);
        if (const auto* text = stored.asString()) installId_ = pf::UUID::fromString(*text);
        if (!installId_) {
            installId_ = pf::UUID();
            RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(installId_->uuidString()), kInstallIdKey);
        }
    }
    return *installId_;
}

void RDDIDezIdedev::instanceSetMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    auto complete = [&](bool result) {
        if (completionHandler) completionHandler(result);
    };
    if (sizeInBytes < kMinimumStorageSizeInBytes) {
        complete(false);
        RDDILogWarning(kRDDILogTag, "Cannot set storage size to {} bytes, minimum value is {} bytes", sizeInBytes,
                       kMinimumStorageSizeInBytes);
        return;
    }
    bool refused = false;
    {
        std::lock_guard lock(lock_);
        if (setMaxStorageSizeHasBeenCalled_) {
            RDDILogWarning(kRDDILogTag, "setMaxStorageSize:completionHandler: may only be called once per app launch");
            refused = true;
        } else {
            setMaxStorageSizeHasBeenCalled_ = true;
            if (configuredFromApplication_) {
                RDDILogWarning(kRDDILogTag, "Unable to set storage size after the application has configured Dez Idedev");
                refused = true;
            } else {
                requestedMaxStorageSizeInBytes_ = sizeInBytes;
                maxStorageSizeCompletionHandler_ = completionHandler;
                if (channelGroup_) channelGroup_->setMaxStorageSize(sizeInBytes, completionHandler);
            }
        }
    }
    if (refused) complete(false);
}

bool RDDIDezIdedev::canBeUsed() const {
    if (sdkConfigured_) return true;
    RDDILogError(kRDDILogTag,
                 "Dez Idedev SDK hasn't been configured. You need to call [RDDIDezIdedev start:YOUR_APP_SECRET "
                 "withServices:LIST_OF_SERVICES] first.");
    return false;
}

std::shared_ptr<RDDIChannelGroupProtocol> RDDIDezIdedev::channelGroup() const {
    std::lock_guard lock(lock_);
    return channelGroup_;
}

std::shared_ptr<RDDIChannelUnitProtocol> RDDIDezIdedev::channelUnit() const {
    std::lock_guard lock(lock_);
    return channelUnit_;
}

std::vector<std::shared_ptr<RDDIServiceInternal>> RDDIDezIdedev::services() const {
    std::lock_guard lock(lock_);
    return services_;
}

std::optional<std::vector<std::string>> RDDIDezIdedev::startedServiceNames() const {
    std::lock_guard lock(lock_);
    return startedServiceNames_;
}

std::optional<std::string> RDDIDezIdedev::appSecret() const {
    std::lock_guard lock(lock_);
    return appSecret_;
}

std::optional<std::string> RDDIDezIdedev::defaultTransmissionTargetToken() const {
    std::lock_guard lock(lock_);
    return defaultTransmissionTargetToken_;
}

}  // namespace rddi
