#pragma once
// The SDK's HTTP client: one URL session, calls with retry schedules, pausing while
// the network is down or a call ran out of retries. A hard failure is handed to its
// caller only: the client is shared by every channel unit and stays on.
#include "platform/foundation/notification_center.hpp"
#include "platform/network/url_session.hpp"
#include "telemetry/pipeline/rddi_http_call.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rddi {

class RDDIHttpClientDelegate {
public:
    virtual ~RDDIHttpClientDelegate() = default;
    // Just before each request goes out, under the client's lock: the delegate must
    // not wait for another thread that uses the client.
    virtual void willSendHTTPRequestToURL(const platform::foundation::URL& url,
                                          const std::map<std::string, std::string>& headers) {
        (void)url;
        (void)headers;
    }
};

class RDDIHttpClientProtocol {
public:
    virtual ~RDDIHttpClientProtocol() = default;
    // Retry intervals 10, 300 and 1200 s, compression on.
    virtual void sendAsync(const platform::foundation::URL& url, const std::string& method,
                           const std::map<std::string, std::string>& headers,
                           const std::optional<platform::foundation::Data>& data,
                           RDDIHttpRequestCompletionHandler completionHandler) = 0;
    virtual void sendAsync(const platform::foundation::URL& url, const std::string& method,
                           const std::map<std::string, std::string>& headers,
                           const std::optional<platform::foundation::Data>& data,
                           const std::vector<double>& retryIntervals, bool compressionEnabled,
                           RDDIHttpRequestCompletionHandler completionHandler) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    // Disabling keeps the waiting calls (see setEnabled(_, deleteData) of the client).
    virtual void setEnabled(bool enabled) = 0;
    virtual std::shared_ptr<RDDIHttpClientDelegate> delegate() const = 0;
    virtual void setDelegate(const std::shared_ptr<RDDIHttpClientDelegate>& delegate) = 0;
};

inline const std::vector<double>& defaultRetryIntervals() {
    static const std::vector<double> intervals{10, 300, 1200};
    return intervals;
}

class RDDIHttpClient final : public RDDIHttpClientProtocol, public std::enable_shared_from_this<RDDIHttpClient> {
public:
    // No connection limit, the Internet watcher.
    static std::shared_ptr<RDDIHttpClient> create();
    static std::shared_ptr<RDDIHttpClient> createWithMaxHttpConnectionsPerHost(long maxHttpConnectionsPerHost);
    // `sessionConfiguration` is the platform default unless given (tests shorten its
    // request timeout).
    static std::shared_ptr<RDDIHttpClient> create(
        std::optional<long> maxHttpConnectionsPerHost, std::shared_ptr<RDDI_Reachability> reachability,
        platform::network::URLSessionConfiguration sessionConfiguration =
            platform::network::URLSessionConfiguration::defaultConfiguration());
    ~RDDIHttpClient() override;

    using RDDIHttpClientProtocol::sendAsync;
    void sendAsync(const platform::foundation::URL& url, const std::string& method,
                   const std::map<std::string, std::string>& headers,
                   const std::optional<platform::foundation::Data>& data,
                   RDDIHttpRequestCompletionHandler completionHandler) override;
    void sendAsync(const platform::foundation::URL& url, const std::string& method,
                   const std::map<std::string, std::string>& headers,
                   const std::optional<platform::foundation::Data>& data, const std::vector<double>& retryIntervals,
                   bool compressionEnabled, RDDIHttpRequestCompletionHandler completionHandler) override;
    void pause() override;
    void resume() override;
    void setEnabled(bool enabled) override { setEnabled(enabled, false); }
    // Disabling with deletion also cancels the session's transfers and fails every
    // waiting call with code 2.
    void setEnabled(bool enabled, bool andDeleteDataOnDisabled);
    std::shared_ptr<RDDIHttpClientDelegate> delegate() const override;
    void setDelegate(const std::shared_ptr<RDDIHttpClientDelegate>& delegate) override;

    bool isPaused() const;
    bool isEnabled() const;
    std::size_t pendingCallCount() const;

    // The reachability notice's handler.
    void networkStateChanged();

private:
    RDDIHttpClient(platform::network::URLSessionConfiguration configuration,
                   std::shared_ptr<RDDI_Reachability> reachability);
    void start();
    void sendCallAsyncLocked(const std::shared_ptr<RDDIHttpCall>& call);
    void pauseLocked();
    void resumeLocked();
    void requestCompleted(const std::shared_ptr<RDDIHttpCall>& call, const platform::network::DataTaskResult& result);
    void scheduleRetryLocked(const std::shared_ptr<RDDIHttpCall>& call, long statusCode,
                             std::optional<std::int64_t> retryAfterMs);

    // Re-entrant: the delegate hook runs under it and may ask the client questions.
    mutable std::recursive_mutex mutex_;
    bool paused_ = false;
    bool enabled_ = true;
    std::weak_ptr<RDDIHttpClientDelegate> delegate_;
    std::optional<platform::network::URLSession> session_;
    std::shared_ptr<RDDI_Reachability> reachability_;
    std::set<std::shared_ptr<RDDIHttpCall>> pendingCalls_;
    platform::network::URLSessionConfiguration sessionConfiguration_;
    platform::foundation::NotificationCenter::Token observation_ = 0;
};

}  // namespace rddi
