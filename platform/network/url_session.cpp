#include "platform/network/url_session.hpp"

#include "platform/network/curl_library.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform::network {

namespace {

using foundation::Data;
using foundation::Error;

// libcurl's functions, once a request has opened it.
const detail::CurlFunctions& lib() { return *detail::curlFunctions(); }

Error urlError(URLErrorCode code, const std::string& description) {
    return Error(std::string(kURLErrorDomain), static_cast<int>(code), description);
}

URLErrorCode codeForCurlResult(CURLcode result, long osErrno) {
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorCode::unsupportedURL;
    case CURLE_URL_MALFORMAT: return URLErrorCode::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        // No route at all is the platform's "not connected", which its users treat as
        // a network that is down rather than a host that refuses.
        if (osErrno == ENETUNREACH || osErrno == EHOSTUNREACH) return URLErrorCode::notConnectedToInternet;
        return URLErrorCode::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorCode::timedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return URLErrorCode::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorCode::badServerResponse;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCode::cannotDecodeRawData;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CACERT_BADFILE: return URLErrorCode::secureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH: return URLErrorCode::serverCertificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK: return URLErrorCode::cancelled;
    default: return URLErrorCode::unknown;
    }
}

bool holdsLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

void URLRequest::setValue(std::string value, std::string field) {
    const auto name = lowercased(field);
    std::erase_if(allHTTPHeaderFields, [&](const auto& entry) { return lowercased(entry.first) == name; });
    allHTTPHeaderFields.emplace_back(std::move(field), std::move(value));
}

std::optional<std::string> HTTPURLResponse::valueForHeader(std::string_view name) const {
    auto found = headers.find(lowercased(name));
    if (found == headers.end()) return std::nullopt;
    return found->second;
}

namespace {

struct Transfer final : URLSessionDataTask, std::enable_shared_from_this<Transfer> {
    std::weak_ptr<URLSession::Core> core;
    URLRequest request;
    URLSession::Completion completion;
    bool deliverInline = false;

    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Data body;
    std::map<std::string, std::string> headers;
    std::atomic<bool> finished{false};

    ~Transfer() override {
        if (headerList) lib().slistFreeAll(headerList);
        if (easy) lib().easyCleanup(easy);
    }
    void cancel() override;
};

size_t writeBody(char* ptr, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    // Past the cap the answer is still read to its end, so the connection stays usable.
    const size_t room = kMaximumResponseBodySize - std::min(kMaximumResponseBodySize, transfer->body.size());
    transfer->body.insert(transfer->body.end(), ptr, ptr + std::min(room, length));
    return length;
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
        std::string name = lowercased(line.substr(0, colon));
        auto value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.remove_suffix(1);
        transfer->headers[name] = std::string(value);
    }
    return size * count;
}

}  // namespace

struct URLSession::Core : std::enable_shared_from_this<URLSession::Core> {
    URLSessionConfiguration configuration;
    dispatch::DispatchQueue delegateQueue;
    CURLM* multi = nullptr;

    std::mutex mutex;
    std::vector<std::shared_ptr<Transfer>> incoming;
    std::vector<std::shared_ptr<Transfer>> cancelling;
    bool invalidated = false;
    bool cancelEverything = false;

    // Touched by the session thread only.
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> running;

    explicit Core(URLSessionConfiguration c)
        : configuration(std::move(c)),
          delegateQueue(configuration.delegateQueue.value_or(dispatch::DispatchQueue("platform.network.url-session"))) {
    }
    ~Core() {
        if (multi) lib().multiCleanup(multi);
    }

    void startThread() {
        // The thread keeps the session alive until it is invalidated and idle.
        std::thread([self = shared_from_this()] { self->run(); }).detach();
    }

    // With the mutex held.
    void wake() {
        if (multi) lib().multiWakeup(multi);
    }

    // The transfers' thread and its handle are made for the first request (with the
    // mutex held): a session that is never used costs no thread and never opens libcurl.
    bool ensureRunning() {
        if (multi) return true;
        multi = lib().multiInit();
        if (!multi) return false;
        if (configuration.httpMaximumConnectionsPerHost > 0) {
            lib().multiSetopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, configuration.httpMaximumConnectionsPerHost);
        }
        startThread();
        return true;
    }

    std::shared_ptr<URLSessionDataTask> start(const URLRequest& request, Completion completion, bool deliverInline) {
        auto transfer = std::make_shared<Transfer>();
        transfer->core = weak_from_this();
        transfer->request = request;
        transfer->completion = std::move(completion);
        transfer->deliverInline = deliverInline;
        if (auto problem = prepare(*transfer)) {
            finish(transfer, std::move(problem));
            return transfer;
        }
        Error refused = urlError(URLErrorCode::cancelled, "the session was invalidated");
        {
            std::lock_guard lock(mutex);
            if (!invalidated) {
                if (ensureRunning()) {
                    incoming.push_back(transfer);
                    wake();
                    return transfer;
                }
                refused = urlError(URLErrorCode::unknown, "the transfer could not be started");
            }
        }
        finish(transfer, std::move(refused));
        return transfer;
    }

    void cancel(const std::shared_ptr<Transfer>& transfer) {
        std::lock_guard lock(mutex);
        cancelling.push_back(transfer);
        wake();
    }

    void invalidate(bool cancelRunning) {
        std::lock_guard lock(mutex);
        invalidated = true;
        if (cancelRunning) cancelEverything = true;
        wake();
    }

    double requestTimeout(const URLRequest& request) const {
        if (request.timeoutInterval > 0) return request.timeoutInterval;
        if (configuration.timeoutIntervalForRequest > 0) return configuration.timeoutIntervalForRequest;
        // Never "no limit": one silent server would hold its caller for ever.
        return 60;
    }

    std::optional<Error> prepare(Transfer& transfer) {
        const auto& request = transfer.request;
        const auto text = request.url.absoluteString();
        if (request.url.scheme() != "http" && request.url.scheme() != "https") {
            return urlError(URLErrorCode::unsupportedURL, fmt::format("unsupported URL: {}", text));
        }
        if (request.httpMethod.empty() || holdsLineBreakOrNul(request.httpMethod) ||
            request.httpMethod.find(' ') != std::string::npos) {
            return urlError(URLErrorCode::badURL, fmt::format("unusable method for {}", text));
        }
        std::string unavailable;
        if (!detail::curlFunctions(&unavailable)) {
            return urlError(URLErrorCode::unknown, fmt::format("the transfer could not be set up: {}", unavailable));
        }
        transfer.easy = lib().easyInit();
        if (!transfer.easy) return urlError(URLErrorCode::unknown, "the transfer could not be set up");
        CURL* easy = transfer.easy;
        lib().easySetopt(easy, CURLOPT_URL, text.c_str());
        lib().easySetopt(easy, CURLOPT_PRIVATE, &transfer);
        lib().easySetopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        lib().easySetopt(easy, CURLOPT_MAXREDIRS, 10L);
        lib().easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
        lib().easySetopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        lib().easySetopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        lib().easySetopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
        lib().easySetopt(easy, CURLOPT_WRITEDATA, &transfer);
        lib().easySetopt(easy, CURLOPT_HEADERFUNCTION, writeHeader);
        lib().easySetopt(easy, CURLOPT_HEADERDATA, &transfer);
        const auto timeout = requestTimeout(request);
        lib().easySetopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
        const auto connect = configuration.connectTimeout > 0 ? std::min(configuration.connectTimeout, timeout) : timeout;
        lib().easySetopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(connect * 1000)));
        if (configuration.lowSpeedTime > 0) {
            lib().easySetopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
            lib().easySetopt(easy, CURLOPT_LOW_SPEED_TIME, configuration.lowSpeedTime);
        }

        const auto& method = request.httpMethod;
        if (method == "HEAD") {
            lib().easySetopt(easy, CURLOPT_NOBODY, 1L);
        } else if (method == "GET" && !request.httpBody) {
            lib().easySetopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            if (request.httpBody || method == "POST") {
                // The request (and so its body) lives as long as the transfer.
                static const char empty = 0;
                const char* bytes = request.httpBody && !request.httpBody->empty()
                                        ? reinterpret_cast<const char*>(request.httpBody->data())
                                        : &empty;
                lib().easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(request.httpBody ? request.httpBody->size() : 0));
                lib().easySetopt(easy, CURLOPT_POSTFIELDS, bytes);
            }
            if (method != "POST") lib().easySetopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        // Sent at once: waiting for "100 Continue" costs a round trip on every batch.
        transfer.headerList = lib().slistAppend(transfer.headerList, "Expect:");
        for (const auto& [name, value] : request.allHTTPHeaderFields) {
            if (name.empty() || holdsLineBreakOrNul(name) || holdsLineBreakOrNul(value) ||
                name.find(':') != std::string::npos) {
                return urlError(URLErrorCode::badURL, fmt::format("unusable header field for {}", text));
            }
            // "Name;" is curl's way of sending a header with an empty value.
            const auto line = value.empty() ? name + ";" : name + ": " + value;
            transfer.headerList = lib().slistAppend(transfer.headerList, line.c_str());
        }
        if (request.cachePolicy == RequestCachePolicy::reloadIgnoringLocalCacheData ||
            configuration.requestCachePolicy == RequestCachePolicy::reloadIgnoringLocalCacheData) {
            // There is no local cache; ask the caches between us and the origin for a fresh copy.
            transfer.headerList = lib().slistAppend(transfer.headerList, "Cache-Control: no-cache");
            transfer.headerList = lib().slistAppend(transfer.headerList, "Pragma: no-cache");
        }
        lib().easySetopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);
        return std::nullopt;
    }

    void finish(const std::shared_ptr<Transfer>& transfer, std::optional<Error> error) {
        if (transfer->finished.exchange(true)) return;
        DataTaskResult result;
        if (error) {
            result.error = std::move(error);
        } else {
            long status = 0;
            lib().easyGetinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
            char* effective = nullptr;
            lib().easyGetinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &effective);
            HTTPURLResponse response;
            response.url = transfer->request.url;
            if (effective) {
                if (auto parsed = foundation::URL::fromString(effective)) response.url = *parsed;
            }
            response.statusCode = static_cast<int>(status);
            response.headers = std::move(transfer->headers);
            result.response = std::move(response);
            result.data = std::move(transfer->body);
        }
        auto completion = std::move(transfer->completion);
        if (!completion) return;
        if (transfer->deliverInline) {
            completion(result);
        } else {
            delegateQueue.async([completion = std::move(completion), result = std::move(result)] { completion(result); });
        }
    }

    void finishWithCurlResult(const std::shared_ptr<Transfer>& transfer, CURLcode code) {
        if (code == CURLE_OK) {
            finish(transfer, std::nullopt);
            return;
        }
        long osErrno = 0;
        lib().easyGetinfo(transfer->easy, CURLINFO_OS_ERRNO, &osErrno);
        const std::string detail =
            transfer->errorBuffer[0] ? std::string(transfer->errorBuffer) : std::string(lib().easyStrerror(code));
        finish(transfer, urlError(codeForCurlResult(code, osErrno),
                                  fmt::format("{}: {}", transfer->request.url.absoluteString(), detail)));
    }

    void removeAndCancel(const std::shared_ptr<Transfer>& transfer) {
        if (running.erase(transfer->easy) > 0) lib().multiRemoveHandle(multi, transfer->easy);
        finish(transfer, urlError(URLErrorCode::cancelled, "cancelled"));
    }

    void run() {
        for (;;) {
            std::vector<std::shared_ptr<Transfer>> adding;
            std::vector<std::shared_ptr<Transfer>> ending;
            bool endAll = false;
            {
                std::lock_guard lock(mutex);
                adding.swap(incoming);
                ending.swap(cancelling);
                endAll = cancelEverything;
            }
            for (auto& transfer : adding) {
                if (lib().multiAddHandle(multi, transfer->easy) == CURLM_OK) {
                    running.emplace(transfer->easy, transfer);
                } else {
                    finish(transfer, urlError(URLErrorCode::unknown, "the transfer could not be started"));
                }
            }
            for (auto& transfer : ending) removeAndCancel(transfer);
            if (endAll) {
                auto all = running;
                for (auto& [easy, transfer] : all) removeAndCancel(transfer);
            }

            int stillRunning = 0;
            lib().multiPerform(multi, &stillRunning);
            int queued = 0;
            while (CURLMsg* message = lib().multiInfoRead(multi, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                auto found = running.find(message->easy_handle);
                if (found == running.end()) continue;
                auto transfer = found->second;
                const CURLcode code = message->data.result;
                running.erase(found);
                lib().multiRemoveHandle(multi, transfer->easy);
                finishWithCurlResult(transfer, code);
            }

            {
                std::lock_guard lock(mutex);
                if (invalidated && incoming.empty() && running.empty()) break;
            }
            lib().multiPoll(multi, nullptr, 0, 1000, nullptr);
        }
    }
};

namespace {

void Transfer::cancel() {
    if (finished.load()) return;
    if (auto owner = core.lock()) {
        owner->cancel(shared_from_this());
    }
}

}  // namespace

struct URLSession::Owner {
    std::shared_ptr<Core> core;
    ~Owner() { core->invalidate(false); }
};

URLSession::URLSession(URLSessionConfiguration configuration) : owner_(std::make_shared<Owner>()) {
    owner_->core = std::make_shared<Core>(std::move(configuration));
}

const URLSessionConfiguration& URLSession::configuration() const { return owner_->core->configuration; }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request, Completion completion) const {
    return owner_->core->start(request, std::move(completion), false);
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const foundation::URL& url, Completion completion) const {
    return dataTask(URLRequest(url), std::move(completion));
}

DataTaskResult URLSession::fetch(const foundation::URL& url) const {
    std::promise<DataTaskResult> done;
    auto future = done.get_future();
    // Delivered on the session thread, so waiting here never needs the delegate queue.
    owner_->core->start(URLRequest(url), [&done](const DataTaskResult& result) { done.set_value(result); }, true);
    return future.get();
}

void URLSession::finishTasksAndInvalidate() const { owner_->core->invalidate(false); }

void URLSession::invalidateAndCancel() const { owner_->core->invalidate(true); }

}  // namespace platform::network
