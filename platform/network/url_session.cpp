#include "platform/network/url_session.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace platform::network {

namespace {

using foundation::Data;
using foundation::Error;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Error urlError(URLErrorCode code, const std::string& description) {
    return Error(std::string(kURLErrorDomain), static_cast<int>(code), description);
}

URLErrorCode codeForCurlResult(CURLcode result) {
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorCode::unsupportedURL;
    case CURLE_URL_MALFORMAT: return URLErrorCode::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT: return URLErrorCode::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorCode::timedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return URLErrorCode::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorCode::badServerResponse;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCode::cannotDecodeRawData;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION: return URLErrorCode::secureConnectionFailed;
    case CURLE_ABORTED_BY_CALLBACK: return URLErrorCode::cancelled;
    default: return URLErrorCode::unknown;
    }
}

struct Transfer {
    Data body;
    std::map<std::string, std::string> headers;
};

size_t writeBody(char* ptr, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    transfer->body.insert(transfer->body.end(), ptr, ptr + size * count);
    return size * count;
}

size_t writeHeader(char* ptr, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::string_view line(ptr, size * count);
    // A new status line (after a redirect or an interim 1xx answer) starts a new header set.
    if (line.starts_with("HTTP/")) {
        transfer->headers.clear();
        return size * count;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        std::string name(line.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        auto value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
        transfer->headers[name] = std::string(value);
    }
    return size * count;
}

struct CurlHandle {
    CURL* handle = curl_easy_init();
    curl_slist* headers = nullptr;
    ~CurlHandle() {
        if (headers) curl_slist_free_all(headers);
        if (handle) curl_easy_cleanup(handle);
    }
};

}  // namespace

URLSession::URLSession(URLSessionConfiguration configuration)
    : configuration_(configuration), queue_("platform.network.url-session") {}

void URLSession::dataTask(const foundation::URL& url, Completion completion) const {
    auto configuration = configuration_;
    queue_.async([configuration, url, completion = std::move(completion)] {
        URLSession session(configuration);
        auto result = session.fetch(url);
        if (completion) completion(result);
    });
}

DataTaskResult URLSession::fetch(const foundation::URL& url) const {
    initialiseCurlOnce();
    DataTaskResult result;
    if (url.scheme() != "http" && url.scheme() != "https") {
        result.error = urlError(URLErrorCode::unsupportedURL,
                                fmt::format("unsupported URL: {}", url.absoluteString()));
        return result;
    }

    CurlHandle curl;
    if (!curl.handle) {
        result.error = urlError(URLErrorCode::unknown, "the transfer could not be set up");
        return result;
    }
    Transfer transfer;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const auto text = url.absoluteString();
    curl_easy_setopt(curl.handle, CURLOPT_URL, text.c_str());
    curl_easy_setopt(curl.handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl.handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl.handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl.handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl.handle, CURLOPT_HEADERFUNCTION, writeHeader);
    curl_easy_setopt(curl.handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl.handle, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(configuration_.timeoutIntervalForRequest * 1000));
    curl_easy_setopt(curl.handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(configuration_.connectTimeout * 1000));
    if (configuration_.requestCachePolicy == RequestCachePolicy::reloadIgnoringLocalCacheData) {
        // Also ask caches between us and the origin for a fresh copy.
        curl.headers = curl_slist_append(curl.headers, "Cache-Control: no-cache");
        curl.headers = curl_slist_append(curl.headers, "Pragma: no-cache");
        curl_easy_setopt(curl.handle, CURLOPT_HTTPHEADER, curl.headers);
    }

    const CURLcode code = curl_easy_perform(curl.handle);
    if (code != CURLE_OK) {
        const std::string detail = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
        result.error = urlError(codeForCurlResult(code), fmt::format("{}: {}", text, detail));
        return result;
    }

    long status = 0;
    curl_easy_getinfo(curl.handle, CURLINFO_RESPONSE_CODE, &status);
    char* effective = nullptr;
    curl_easy_getinfo(curl.handle, CURLINFO_EFFECTIVE_URL, &effective);
    HTTPURLResponse response;
    response.url = url;
    if (effective) {
        if (auto parsed = foundation::URL::fromString(effective)) response.url = *parsed;
    }
    response.statusCode = static_cast<int>(status);
    response.headers = std::move(transfer.headers);
    result.response = std::move(response);
    result.data = std::move(transfer.body);
    return result;
}

}  // namespace platform::network
