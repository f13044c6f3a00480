#include "app/foundation/usage_events.hpp"

#include <mutex>

namespace gw {

namespace {

class SilentSink final : public UsageEventSink {
public:
    void log(const std::string&, const std::optional<UsageEventProperties>&) override {}
};

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<UsageEventSink>& installedSink() {
    static std::shared_ptr<UsageEventSink> sink = std::make_shared<SilentSink>();
    return sink;
}

}  // namespace

void setUsageEventSink(std::shared_ptr<UsageEventSink> sink) {
    if (!sink) sink = std::make_shared<SilentSink>();
    std::lock_guard lock(sinkMutex());
    installedSink() = std::move(sink);
}

std::shared_ptr<UsageEventSink> usageEventSink() {
    std::lock_guard lock(sinkMutex());
    return installedSink();
}

void logUsageEvent(const std::string& event, const std::optional<UsageEventProperties>& properties) {
    // The lock is not held while sending: a slow sink must not serialise the renderers.
    usageEventSink()->log(event, properties);
}

}  // namespace gw
