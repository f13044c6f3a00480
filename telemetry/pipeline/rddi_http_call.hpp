#pragma once
// One HTTP request of the SDK with its own retry schedule.
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"
#include "platform/network/url_session.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

// Body (possibly none), HTTP response (possibly none), error (possibly none).
using RDDIHttpRequestCompletionHandler =
    std::function<void(const std::optional<platform::foundation::Data>& data,
                       const std::optional<platform::network::HTTPURLResponse>& response,
                       const std::optional<platform::foundation::Error>& error)>;

// Bodies from this size on are gzipped when compression is on.
inline constexpr std::size_t kRDDIHttpCompressionThreshold = 1400;

class RDDIHttpCall {
public:
    RDDIHttpCall(platform::foundation::URL url, std::string method, const std::map<std::string, std::string>& headers,
                 std::optional<platform::foundation::Data> data, std::vector<double> retryIntervals,
                 bool compressionEnabled, RDDIHttpRequestCompletionHandler completionHandler);
    ~RDDIHttpCall();
    RDDIHttpCall(const RDDIHttpCall&) = delete;
    RDDIHttpCall& operator=(const RDDIHttpCall&) = delete;

    const platform::foundation::URL& url() const { return url_; }
    const std::string& method() const { return method_; }
    const std::map<std::string, std::string>& headers() const { return headers_; }
    const std::optional<platform::foundation::Data>& data() const { return data_; }
    const std::vector<double>& retryIntervals() const { return retryIntervals_; }
    const RDDIHttpRequestCompletionHandler& completionHandler() const { return completionHandler_; }

    bool inProgress() const;
    void setInProgress(bool inProgress);
    std::int32_t retryCount() const;

    bool hasReachedMaxRetries() const;
    void resetRetry();
    // Half the interval at that index (ms) plus a random part below that half.
    std::uint32_t delayForRetryCount(std::int32_t retryCount) const;
    // Runs `event` once on a global queue after `retryAfterMs`, or after the
    // schedule's delay when none is given, and counts the retry.
    void startRetryTimerWithStatusCode(long statusCode, std::optional<std::int64_t> retryAfterMs,
                                       std::function<void()> event);

private:
    platform::foundation::URL url_;
    std::string method_;
    std::map<std::string, std::string> headers_;
    std::optional<platform::foundation::Data> data_;
    std::vector<double> retryIntervals_;
    RDDIHttpRequestCompletionHandler completionHandler_;

    mutable std::mutex mutex_;
    bool inProgress_ = false;
    std::int32_t retryCount_ = 0;
    std::optional<platform::dispatch::DispatchTimer> timerSource_;
};

}  // namespace rddi
