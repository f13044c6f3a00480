#pragma once
// Plain HTTP(S) data transfers on libcurl; stands in for the platform's URL session
// and its data tasks.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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
    badServerResponse = -1011,
    cannotDecodeRawData = -1015,
    secureConnectionFailed = -1200,
};

enum class RequestCachePolicy { useProtocolCachePolicy, reloadIgnoringLocalCacheData };

struct URLSessionConfiguration {
    RequestCachePolicy requestCachePolicy = RequestCachePolicy::useProtocolCachePolicy;
    // Seconds a request may take before it fails with timedOut.
    double timeoutIntervalForRequest = 60;
    // Seconds allowed for making the connection.
    double connectTimeout = 30;

    static URLSessionConfiguration defaultConfiguration() { return {}; }
};

struct HTTPURLResponse {
    foundation::URL url;
    int statusCode = 0;
    // Header names in lower case; a repeated header keeps its last value.
    std::map<std::string, std::string> headers;

    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
};

// What one transfer gives: a transport error, or the response and its body.
struct DataTaskResult {
    std::optional<foundation::Data> data;
    std::optional<HTTPURLResponse> response;
    std::optional<foundation::Error> error;  // domain kURLErrorDomain
};

class URLSession {
public:
    using Completion = std::function<void(const DataTaskResult&)>;

    explicit URLSession(URLSessionConfiguration configuration = URLSessionConfiguration::defaultConfiguration());

    const URLSessionConfiguration& configuration() const { return configuration_; }

    // One GET, run on the session's own serial queue; the completion runs there too.
    void dataTask(const foundation::URL& url, Completion completion) const;

    // The same transfer on the calling thread.
    DataTaskResult fetch(const foundation::URL& url) const;

private:
    URLSessionConfiguration configuration_;
    dispatch::DispatchQueue queue_;
};

}  // namespace platform::network
