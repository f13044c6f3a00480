#include "telemetry/pipeline/rddi_http_client.hpp"

#include "platform/network/curl_library.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace rddi {

namespace pf = platform::foundation;
namespace net = platform::network;

namespace {

// The HTTP library is loaded by the first request, on the thread that makes it: the channel
// group's logs queue, right after a start, where logs wait for it to be stored. It is loaded
// beside it instead, once for the process. The process's exit waits for that load to end: cut
// short, the load went on setting the library up while the exit freed what the set-up uses (the
// crypto library's locks), and the process died at its very end.
struct HttpLibraryLoad {
    std::mutex mutex;
    std::thread thread;
    pid_t process = 0;  // where `thread` runs: a forked child has none to wait for
    bool begun = false;
};

HttpLibraryLoad& httpLibraryLoad() {
    static auto* load = new HttpLibraryLoad;  // never destroyed: the exit uses it
    return *load;
}

void awaitHttpLibraryLoadAtExit() {
    auto& load = httpLibraryLoad();
    std::thread thread;
    {
        std::lock_guard lock(load.mutex);
        if (load.process != ::getpid()) return;
        thread = std::move(load.thread);
    }
    if (thread.joinable()) thread.join();
}

void loadHttpLibraryBeside() {
    auto& load = httpLibraryLoad();
    std::lock_guard lock(load.mutex);
    if (load.begun) return;
    try {
        load.thread = std::thread([] { net::detail::curlFunctions(); });
    } catch (const std::system_error&) {
        // No thread to spare: the first request loads the library.
        return;
    }
    load.begun = true;
    load.process = ::getpid();
    std::atexit(awaitHttpLibraryLoadAtExit);
}

// The server's "x-rd-retry-after-ms" as a delay: none when absent, not a number or
// negative (the schedule applies); never longer than the schedule's last interval.
std::optional<std::int64_t> retryAfter(const net::HTTPURLResponse& response, const std::vector<double>& intervals) {
    auto text = response.valueForHeader("x-rd-retry-after-ms");
    if (!text) return std::nullopt;
    std::int64_t value = 0;
    const char* begin = text->data();
    const char* end = begin + text->size();
    auto [stop, problem] = std::from_chars(begin, end, value);
    if (problem != std::errc() || stop != end || value < 0) return std::nullopt;
    if (!intervals.empty()) value = std::min(value, static_cast<std::int64_t>(intervals.back() * 1000));
    return value;
}

}  // namespace

RDDIHttpClient::RDDIHttpClient(net::URLSessionConfiguration configuration, std::shared_ptr<RDDI_Reachability> reachability)
    : reachability_(std::move(reachability)), sessionConfiguration_(std::move(configuration)) {}

std::shared_ptr<RDDIHttpClient> RDDIHttpClient::create() {
    return create(std::nullopt, RDDI_Reachability::forInternetConnection());
}

std::shared_ptr<RDDIHttpClient> RDDIHttpClient::createWithMaxHttpConnectionsPerHost(long maxHttpConnectionsPerHost) {
    return create(maxHttpConnectionsPerHost, RDDI_Reachability::forInternetConnection());
}

std::shared_ptr<RDDIHttpClient> RDDIHttpClient::create(std::optional<long> maxHttpConnectionsPerHost,
                                                       std::shared_ptr<RDDI_Reachability> reachability,
                                                       net::URLSessionConfiguration sessionConfiguration) {
    if (maxHttpConnectionsPerHost) sessionConfiguration.httpMaximumConnectionsPerHost = *maxHttpConnectionsPerHost;
    std::shared_ptr<RDDIHttpClient> client(new RDDIHttpClient(std::move(sessionConfiguration), std::move(reachability)));
    client->start();
    return client;
}

void RDDIHttpClient::start() {
    loadHttpLibraryBeside();
    std::lock_guard lock(mutex_);
    session_.emplace(sessionConfiguration_);
    if (!reachability_) return;
    std::weak_ptr<RDDIHttpClient> weak = weak_from_this();
    observation_ = pf::NotificationCenter::defaultCenter().addObserver(
        std::string(net::kReachabilityChangedNotification), reachability_.get(), [weak](const pf::Notification&) {
            if (auto self = weak.lock()) self->networkStateChanged();
        });
    reachability_->startNotifier();
}

RDDIHttpClient::~RDDIHttpClient() {
    if (reachability_) reachability_->stopNotifier();
    if (observation_) pf::NotificationCenter::defaultCenter().removeObserver(observation_);
    if (session_) session_->finishTasksAndInvalidate();
}

void RDDIHttpClient::sendAsync(const pf::URL& url, const std::string& method,
                               const std::map<std::string, std::string>& headers, const std::optional<pf::Data>& data,
                               RDDIHttpRequestCompletionHandler completionHandler) {
    sendAsync(url, method, headers, data, defaultRetryIntervals(), true, std::move(completionHandler));
}

void RDDIHttpClient::sendAsync(const pf::URL& url, const std::string& method,
                               const std::map<std::string, std::string>& headers, const std::optional<pf::Data>& data,
                               const std::vector<double>& retryIntervals, bool compressionEnabled,
                               RDDIHttpRequestCompletionHandler completionHandler) {
    std::unique_lock lock(mutex_);
    if (!enabled_) {
        lock.unlock();
        if (completionHandler) {
            completionHandler(std::nullopt, std::nullopt, makeRDDIError(kRDDIDisabledErrorCode, kRDDIDisabledErrorDesc));
        }
        return;
    }
    auto call = std::make_shared<RDDIHttpCall>(url, method, headers, data, retryIntervals, compressionEnabled,
                                               std::move(completionHandler));
    sendCallAsyncLocked(call);
}

void RDDIHttpClient::sendCallAsyncLocked(const std::shared_ptr<RDDIHttpCall>& call) {
    pendingCalls_.insert(call);
    if (paused_ || !session_) return;
    if (auto delegate = delegate_.lock()) delegate->willSendHTTPRequestToURL(call->url(), call->headers());

    net::URLRequest request(call->url());
    request.httpMethod = call->method();
    request.httpBody = call->data();
    request.cachePolicy = net::RequestCachePolicy::reloadIgnoringLocalCacheData;
    request.timeoutInterval = 0;  // the session's
    for (const auto& [name, value] : call->headers()) request.allHTTPHeaderFields.emplace_back(name, value);

    call->setInProgress(true);
    std::weak_ptr<RDDIHttpClient> weak = weak_from_this();
    session_->dataTask(request, [weak, call](const net::DataTaskResult& result) {
        if (auto self = weak.lock()) self->requestCompleted(call, result);
    });
}

void RDDIHttpClient::scheduleRetryLocked(const std::shared_ptr<RDDIHttpCall>& call, long statusCode,
                                         std::optional<std::int64_t> retryAfterMs) {
    std::weak_ptr<RDDIHttpClient> weak = weak_from_this();
    std::weak_ptr<RDDIHttpCall> weakCall = call;
    call->startRetryTimerWithStatusCode(statusCode, retryAfterMs, [weak, weakCall] {
        auto self = weak.lock();
        auto retried = weakCall.lock();
        if (!self || !retried) return;
        std::lock_guard lock(self->mutex_);
        // A call dropped meanwhile (disabled with deletion) stays dropped.
        if (!self->enabled_ || !self->pendingCalls_.contains(retried) || retried->inProgress()) return;
        self->sendCallAsyncLocked(retried);
    });
}

void RDDIHttpClient::requestCompleted(const std::shared_ptr<RDDIHttpCall>& call, const net::DataTaskResult& result) {
    std::unique_lock lock(mutex_);
    call->setInProgress(false);
    if (!pendingCalls_.contains(call)) {
        RDDILogDebug(kRDDILogTag, "HTTP call was canceled; do not process further.");
        return;
    }
    auto finish = [&](const std::optional<pf::Data>& data, const std::optional<net::HTTPURLResponse>& response,
                      const std::optional<pf::Error>& error) {
        pendingCalls_.erase(call);
        lock.unlock();
        if (call->completionHandler()) call->completionHandler()(data, response, error);
    };

    if (result.error) {
        const auto& error = *result.error;
        const bool noInternet = RDDIHttpUtil::isNoInternetConnectionError(error);
        if (noInternet || RDDIHttpUtil::isSSLConnectionError(error)) {
            RDDILogInfo(kRDDILogTag, "HTTP call failed with error: {}",
                        noInternet ? "Internet connection is down." : "Could not establish secure connection.");
            const bool networkDown =
                paused_ || (reachability_ && reachability_->currentReachabilityStatus() == RDDINetworkStatus::notReachable);
            if (networkDown) {
                // Sent again by the resume that follows the network's return.
                call->resetRetry();
                return;
            }
            // The watcher says the network is there, so no resume is coming: retry on
            // the call's schedule like any recoverable failure, then give up.
            if (!call->hasReachedMaxRetries()) {
                scheduleRetryLocked(call, 0, std::nullopt);
                return;
            }
        }
        RDDILogError(kRDDILogTag, "HTTP request error with code: {}, domain: {}, description: {}", error.code(),
                     error.domain(), error.localizedDescription());
        finish(result.data, std::nullopt, error);
        return;
    }

    const auto& response = *result.response;
    const long status = response.statusCode;
    if (RDDIHttpUtil::isRecoverableError(status)) {
        if (!call->hasReachedMaxRetries()) {
            scheduleRetryLocked(call, status, retryAfter(response, call->retryIntervals()));
            return;
        }
        pauseLocked();
        finish(result.data, response, std::nullopt);
        return;
    }
    if (RDDIHttpUtil::isSuccessStatusCode(status)) {
        finish(result.data, response, std::nullopt);
        return;
    }
    // A refused request is that sender's answer: the client serves every channel unit,
    // so it stays on (the unit that got the answer switches itself off) and the other
    // units' calls in flight complete as usual instead of being dropped and sent again.
    finish(result.data, response, std::nullopt);
}

void RDDIHttpClient::pause() {
    std::lock_guard lock(mutex_);
    pauseLocked();
}

void RDDIHttpClient::pauseLocked() {
    if (paused_) return;
    RDDILogInfo(kRDDILogTag, "Pause HTTP client.");
    paused_ = true;
    for (const auto& call : pendingCalls_) call->resetRetry();
}

void RDDIHttpClient::resume() {
    std::lock_guard lock(mutex_);
    resumeLocked();
}

void RDDIHttpClient::resumeLocked() {
    if (!paused_ || !enabled_) return;
    RDDILogInfo(kRDDILogTag, "Resume HTTP client.");
    paused_ = false;
    const auto calls = pendingCalls_;
    for (const auto& call : calls) {
        if (!call->inProgress()) sendCallAsyncLocked(call);
    }
}

void RDDIHttpClient::setEnabled(bool enabled, bool andDeleteDataOnDisabled) {
    std::unique_lock lock(mutex_);
    if (enabled_ == enabled) return;
    if (enabled) {
        enabled_ = true;
        if (!session_) session_.emplace(sessionConfiguration_);
        if (reachability_) reachability_->startNotifier();
        resumeLocked();
        return;
    }
    enabled_ = false;
    if (reachability_) reachability_->stopNotifier();
    pauseLocked();
    if (!andDeleteDataOnDisabled) return;
    if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
    }
    auto dropped = std::move(pendingCalls_);
    pendingCalls_.clear();
    lock.unlock();
    // Failed outside the lock, so a handler may use the client.
    for (const auto& call : dropped) {
        call->resetRetry();
        if (call->completionHandler()) {
            call->completionHandler()(std::nullopt, std::nullopt,
                                      makeRDDIError(kRDDICanceledErrorCode, kRDDICanceledErrorDesc));
        }
    }
}

void RDDIHttpClient::networkStateChanged() {
    if (!reachability_) return;
    if (reachability_->currentReachabilityStatus() == RDDINetworkStatus::reachable) {
        RDDILogInfo(kRDDILogTag, "Internet connection is up.");
        resume();
    } else {
        RDDILogInfo(kRDDILogTag, "Internet connection is down.");
        pause();
    }
}

std::shared_ptr<RDDIHttpClientDelegate> RDDIHttpClient::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void RDDIHttpClient::setDelegate(const std::shared_ptr<RDDIHttpClientDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

bool RDDIHttpClient::isPaused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

bool RDDIHttpClient::isEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

std::size_t RDDIHttpClient::pendingCallCount() const {
    std::lock_guard lock(mutex_);
    return pendingCalls_.size();
}

}  // namespace rddi
