#pragma once
// The usage-event call of the image operations. The analytics side lives above this
// library, so the operations talk to an abstract sink that the engine installs at start;
// until then events go nowhere.
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace gw {

using UsageEventProperties = std::map<std::string, std::string>;

class UsageEventSink {
public:
    virtual ~UsageEventSink() = default;
    // Sends the event; reports no failure.
    virtual void log(const std::string& event, const std::optional<UsageEventProperties>& properties) = 0;
};

// Process-wide. Null restores the silent default. Safe to call from any thread; an
// event being sent while the sink is replaced still reaches the sink it started with.
void setUsageEventSink(std::shared_ptr<UsageEventSink> sink);
std::shared_ptr<UsageEventSink> usageEventSink();

// Sends through the installed sink.
void logUsageEvent(const std::string& event, const std::optional<UsageEventProperties>& properties = std::nullopt);

}  // namespace gw
