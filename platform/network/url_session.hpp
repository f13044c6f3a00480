#pragma once
// HTTP(S) transfers on libcurl; stands in for the platform's URL session, its
// requests and its data tasks. One session owns one curl multi handle driven by the
// session's own thread, so transfers to the same host share connections; completions
// are handed to the session's delegate queue.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::network {

inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";

// Codes of kURLErrorDomain, as the platform numbers them.
enum class URLErrorCode : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    notConnectedToInternet = -1009,
    badServerResponse = -1011,
    cannotDecodeRawData = -1015,
    secureConnectionFailed = -1200,
    serverCertificateUntrusted = -1202,
};

enum class RequestCachePolicy { useProtocolCachePolicy, reloadIgnoringLocalCacheData };

// Bodies beyond this are cut: the rest of the answer is read and discarded.
inline constexpr std::size_t kMaximumResponseBodySize = 1024 * 1024;

struct URLSessionConfiguration {
    RequestCachePolicy requestCachePolicy = RequestCachePolicy::useProtocolCachePolicy;
    // Seconds a request may take before it fails with timedOut; also what a request
    // timeout of 0 stands for. 0 here means 60.
    double timeoutIntervalForRequest = 60;
    // Seconds allowed for making the connection.
    double connectTimeout = 10;
    // A transfer slower than 1 byte/s for this many seconds fails with timedOut.
    long lowSpeedTime = 30;
    // Open connections per host at most; 0 means no limit.
    long httpMaximumConnectionsPerHost = 0;
    // Where completions run; none: a serial queue of the session's own.
    std::optional<dispatch::DispatchQueue> delegateQueue;

    static URLSessionConfiguration defaultConfiguration() { return {}; }
};

struct URLRequest {
    foundation::URL url;
    std::string httpMethod = "GET";
    // Sent in this order; a repeated name is sent repeatedly.
    std::vector<std::pair<std::string, std::string>> allHTTPHeaderFields;
    std::optional<foundation::Data> httpBody;
    RequestCachePolicy cachePolicy = RequestCachePolicy::useProtocolCachePolicy;
    // Seconds; 0 means the session's timeoutIntervalForRequest.
    double timeoutInterval = 0;

    URLRequest() = default;
    explicit URLRequest(foundation::URL u) : url(std::move(u)) {}
    void setValue(std::string value, std::string field);
};

struct HTTPURLResponse {
    foundation::URL url;
    int statusCode = 0;
    // Header names in lower case; a repeated header keeps its last value.
    std::map<std::string, std::string> headers;

    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
    std::optional<std::string> valueForHeader(std::string_view name) const;
};

// What one transfer gives: a transport error, or the response and its body.
struct DataTaskResult {
    std::optional<foundation::Data> data;
    std::optional<HTTPURLResponse> response;
    std::optional<foundation::Error> error;  // domain kURLErrorDomain
};

class URLSessionDataTask {
public:
    virtual ~URLSessionDataTask() = default;
    // Ends the transfer; its completion gets the cancelled error unless it has
    // already finished.
    virtual void cancel() = 0;
};

class URLSession {
public:
    using Completion = std::function<void(const DataTaskResult&)>;

    explicit URLSession(URLSessionConfiguration configuration = URLSessionConfiguration::defaultConfiguration());
    // Copies are handles of the same session. When the last one goes, running
    // transfers still finish (and complete), then the session ends.

    const URLSessionConfiguration& configuration() const;

    // Starts the transfer at once; the completion runs on the delegate queue. On an
    // invalidated session the completion gets the cancelled error.
    std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request, Completion completion) const;
    // A GET of the URL.
    std::shared_ptr<URLSessionDataTask> dataTask(const foundation::URL& url, Completion completion) const;

    // The same GET, waited for on the calling thread.
    DataTaskResult fetch(const foundation::URL& url) const;

    // No new transfers; the running ones finish.
    void finishTasksAndInvalidate() const;
    // No new transfers; the running ones end with the cancelled error.
    void invalidateAndCancel() const;

    struct Core;

private:
    struct Owner;
    std::shared_ptr<Owner> owner_;
};

}  // namespace platform::network
