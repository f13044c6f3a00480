#pragma once
// The contracts every telemetry service fulfils, and the base class that keeps a
// service's switch in the settings, refuses use before start and attaches the
// service's channel unit to the shared channel group.
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

class RDDIServiceCommon {
public:
    virtual ~RDDIServiceCommon() = default;

    virtual void applyEnabledState(bool isEnabled) = 0;
    virtual bool canBeUsed() const = 0;
    virtual void startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                                       std::optional<std::string> appSecret,
                                       std::optional<std::string> transmissionTargetToken,
                                       bool fromApplication) = 0;
    virtual void updateConfiguration(std::optional<std::string> appSecret,
                                     std::optional<std::string> transmissionTargetToken) = 0;
    virtual bool isAppSecretRequired() const = 0;
    virtual bool isStartedFromApplication() const = 0;
    virtual bool isAvailable() const = 0;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool isEnabled) = 0;
    virtual std::int64_t initializationPriority() const = 0;
    virtual std::string groupId() const = 0;
    // None when the service has no channel unit of its own.
    virtual std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration() const { return nullptr; }
};

class RDDIServiceInternal : public RDDIServiceCommon {
public:
    virtual std::string serviceName() const = 0;
    virtual std::string logTag() const = 0;
    // The class name the messages name, e.g. "RDDIAnalytics".
    virtual std::string className() const = 0;

    // The service's class operations, run on its shared instance under its lock:
    // isEnabled answers false (and logs) before start; setEnabled is refused while the
    // whole SDK is switched off.
    virtual bool classIsEnabled() = 0;
    virtual void classSetEnabled(bool isEnabled) = 0;
};

// How the entry point reaches a service class: its name and its shared instance.
struct RDDIServiceClass {
    std::string name;
    std::function<std::shared_ptr<RDDIServiceInternal>()> sharedInstance;

    explicit operator bool() const { return static_cast<bool>(sharedInstance); }
};

class RDDIServiceAbstract : public RDDIServiceInternal {
public:
    static constexpr std::int64_t kDefaultInitializationPriority = 500;

    void applyEnabledState(bool isEnabled) override;
    bool canBeUsed() const override;
    void startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                               std::optional<std::string> appSecret,
                               std::optional<std::string> transmissionTargetToken, bool fromApplication) override;
    void updateConfiguration(std::optional<std::string> appSecret,
                             std::optional<std::string> transmissionTargetToken) override;
    bool isAppSecretRequired() const override { return true; }
    bool isStartedFromApplication() const override { return startedFromApplication_; }
    bool isAvailable() const override { return isEnabled() && isStarted(); }
    // The stored switch; on when nothing is stored.
    bool isEnabled() const override;
    // Applies and stores a new value; the same value again does nothing.
    void setEnabled(bool isEnabled) override;
    std::int64_t initializationPriority() const override { return kDefaultInitializationPriority; }

    bool classIsEnabled() override;
    void classSetEnabled(bool isEnabled) override;

    bool isStarted() const { return started_; }
    // The settings key of the switch: the group id followed by "IsEnabled".
    std::string isEnabledKey() const { return groupId() + "IsEnabled"; }

    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup() const { return channelGroup_; }
    std::shared_ptr<RDDIChannelUnitProtocol> channelUnit() const { return channelUnit_; }
    const std::optional<std::string>& appSecret() const { return appSecret_; }
    const std::optional<std::string>& defaultTransmissionTargetToken() const { return defaultTransmissionTargetToken_; }

    // The monitor of the instance, taken by the class operations.
    std::recursive_mutex& monitor() const { return monitor_; }

protected:
    // The class name without its four-letter prefix ("RDDIAnalytics" gives "Analytics").
    std::string shortClassName() const;

    bool startedFromApplication_ = false;
    bool started_ = false;
    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup_;
    std::shared_ptr<RDDIChannelUnitProtocol> channelUnit_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;

private:
    mutable std::recursive_mutex monitor_;
};

}  // namespace rddi
