#include "telemetry/pipeline/rddi_http_ingestion.hpp"

#include "platform/foundation/utf8.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_errors.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"

#include <cctype>

namespace rddi {

namespace pf = platform::foundation;
namespace net = platform::network;

namespace {

// The characters a URL query may hold as they are; everything else is percent-encoded.
bool allowedInQuery(unsigned char c) {
    return std::isalnum(c) || std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string percentEncodeQuery(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (allowedInQuery(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

void RDDIAnswerInvalidContainer(const std::shared_ptr<RDDILogContainer>& data,
                                const RDDISendAsyncCompletionHandler& completionHandler) {
    const auto error = makeRDDIError(kRDDIInvalidContainerErrorCode, kRDDIInvalidContainerErrorDesc);
    RDDILogError(kRDDILogTag, "{}", error.printedDescription());
    if (completionHandler) {
        completionHandler(data && data->batchId ? *data->batchId : std::string(), std::nullopt, std::nullopt, error);
    }
}

RDDIHttpIngestion::RDDIHttpIngestion(std::shared_ptr<RDDIHttpClientProtocol> httpClient, std::string baseUrl,
                                     std::string apiPath, std::map<std::string, std::string> headers,
                                     std::map<std::string, std::string> queryStrings, std::vector<double> retryIntervals,
                                     std::optional<long> maxNumberOfConnections)
    : baseURL_(std::move(baseUrl)),
      apiPath_(std::move(apiPath)),
      httpHeaders_(std::move(headers)),
      httpClient_(std::move(httpClient)),
      callsRetryIntervals_(std::move(retryIntervals)),
      maxNumberOfConnections_(maxNumberOfConnections) {
    if (auto url = buildURLWithBaseURL(baseURL_, apiPath_, queryStrings)) {
        sendURL_ = *url;
    } else {
        RDDILogError(kRDDILogTag, "Failed to build HTTP URL from {} and {}.", baseURL_, apiPath_);
    }
}

void RDDIHttpIngestion::attachToClient() {
    if (httpClient_) httpClient_->setDelegate(shared_from_this());
}

std::optional<pf::URL> RDDIHttpIngestion::buildURLWithBaseURL(const std::string& baseURL, const std::string& apiPath,
                                                             const std::map<std::string, std::string>& queryStrings) {
    std::string text = baseURL + apiPath;
    std::string query;
    for (const auto& [key, value] : queryStrings) {
        if (!query.empty()) query += "&";
        query += key + "=" + value;
    }
    if (!query.empty()) text += "?" + percentEncodeQuery(query);
    return pf::URL::fromString(text);
}

bool RDDIHttpIngestion::isEnabled() const {
    // Read before taking the ingestion's lock: the entry point calls into the pipeline
    // while holding its own lock, so taking them the other way round could deadlock.
    const bool allowed = RDDIDezIdedev::isNetworkRequestsAllowed();
    std::lock_guard lock(mutex_);
    return enabled_ && allowed;
}

void RDDIHttpIngestion::setEnabled(bool enabled, bool /*deleteDataOnDisabled*/) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

pf::URL RDDIHttpIngestion::sendURL() const {
    std::lock_guard lock(mutex_);
    return sendURL_;
}

std::string RDDIHttpIngestion::baseURL() const {
    std::lock_guard lock(mutex_);
    return baseURL_;
}

void RDDIHttpIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                                  RDDISendAsyncCompletionHandler completionHandler) {
    sendAsync(data, std::nullopt, std::move(completionHandler));
}

void RDDIHttpIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                                  RDDISendAsyncCompletionHandler completionHandler) {
    sendAsync(data, eTag, pf::UUID().uuidString(), std::move(completionHandler));
}

void RDDIHttpIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                                  const std::string& callId, RDDISendAsyncCompletionHandler completionHandler) {
    if (!isEnabled()) {
        RDDILogWarning(kRDDILogTag, "{} is disabled.", className());
        if (completionHandler) {
            completionHandler(callId, std::nullopt, std::nullopt,
                              makeRDDIError(kRDDIDisabledErrorCode, kRDDIDisabledErrorDesc));
        }
        return;
    }
    std::unique_lock lock(mutex_);
    const RDDILogContainer empty;
    const auto& container = data ? *data : empty;
    auto headers = getHeadersWithData(container, eTag);
    auto payload = getPayloadWithData(container);
    const auto url = sendURL_;
    const auto intervals = callsRetryIntervals_;
    auto client = httpClient_;
    lock.unlock();
    if (!payload || !client) {
        // Sending no body would earn a 4xx, which disables the unit and deletes its logs.
        RDDIAnswerInvalidContainer(data, completionHandler);
        return;
    }
    std::weak_ptr<RDDIHttpIngestion> weak = weak_from_this();
    // The client is called outside the ingestion's lock: it may answer at once on this
    // thread, and its delegate hook runs under the client's own lock.
    client->sendAsync(url, getHttpMethod(), headers, payload, intervals, true,
                      [weak, callId, completionHandler](const std::optional<pf::Data>& body,
                                                        const std::optional<net::HTTPURLResponse>& response,
                                                        const std::optional<pf::Error>& error) {
                          if (auto self = weak.lock()) self->printResponse(response, body, error);
                          if (completionHandler) completionHandler(callId, response, body, error);
                      });
}

std::map<std::string, std::string> RDDIHttpIngestion::getHeadersWithData(const RDDILogContainer&,
                                                                         const std::optional<std::string>&) {
    return {};
}

std::optional<pf::Data> RDDIHttpIngestion::getPayloadWithData(const RDDILogContainer&) { return std::nullopt; }

void RDDIHttpIngestion::setBaseURL(const std::string& baseURL) {
    std::lock_guard lock(mutex_);
    const auto base = pf::URL::fromString(baseURL);
    const auto parsed = pf::URL::fromString(baseURL + apiPath_);
    // Only scheme, credentials, host and port come from the base: a base with a path,
    // query or fragment of its own, or without a host, would send elsewhere than meant.
    const bool usable = base && parsed && !base->host().empty() && (base->path().empty() || base->path() == "/") &&
                        !base->query() && baseURL.find('#') == std::string::npos;
    if (!usable) {
        RDDILogInfo(kRDDILogTag, "Failed to update HTTP URL {} with {}", sendURL_.absoluteString(), baseURL);
        return;
    }
    std::string text = baseURL;
    if (!text.empty() && text.back() == '/') text.pop_back();
    text += apiPath_;
    if (sendURL_.query()) text += "?" + *sendURL_.query();
    auto updated = pf::URL::fromString(text);
    if (!updated) {
        RDDILogInfo(kRDDILogTag, "Failed to update HTTP URL {} with {}", sendURL_.absoluteString(), baseURL);
        return;
    }
    baseURL_ = baseURL;
    sendURL_ = *updated;
}

std::optional<std::string> RDDIHttpIngestion::eTagFromResponse(const net::HTTPURLResponse& response) {
    for (const auto& [name, value] : response.headers) {
        std::string lower = name;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "etag") return value;
    }
    return std::nullopt;
}

std::string RDDIHttpIngestion::obfuscateHeaderValue(const std::string& name, const std::string& value) const {
    return name == "App-Secret" ? RDDIHttpUtil::hideSecret(value) : value;
}

void RDDIHttpIngestion::willSendHTTPRequestToURL(const pf::URL& url, const std::map<std::string, std::string>& headers) {
    if (RDDILogger::currentLogLevel() >= RDDILogLevelDebug) return;
    RDDILogVerbose(kRDDILogTag, "URL: {}", url.absoluteString());
    std::string list;
    for (const auto& [name, value] : headers) {
        if (!list.empty()) list += ", ";
        list += name + " = " + obfuscateHeaderValue(name, value);
    }
    RDDILogVerbose(kRDDILogTag, "Headers: {}", list);
}

void RDDIHttpIngestion::printResponse(const std::optional<net::HTTPURLResponse>& response,
                                      const std::optional<pf::Data>& body,
                                      const std::optional<pf::Error>& error) const {
    if (error) {
        RDDILogDebug(kRDDILogTag, "HTTP request error with code: {}, domain: {}, description: {}", error->code(),
                     error->domain(), error->localizedDescription());
        return;
    }
    if (RDDILogger::currentLogLevel() >= RDDILogLevelDebug) return;
    const std::string contentType = response ? response->valueForHeader("Content-Type").value_or("") : "";
    std::string payload = "(null)";
    if (body && !body->empty()) {
        if (startsWith(contentType, "application/json")) {
            payload = obfuscateResponsePayload(pf::validUTF8(RDDIUtility::prettyPrintJson(body).value_or("")));
        } else if (!contentType.empty() && !startsWith(contentType, "text/") && !startsWith(contentType, "application/")) {
            payload = "<binary>";
        } else {
            payload = obfuscateResponsePayload(pf::validUTF8(pf::stringFromData(*body)));
        }
    }
    RDDILogVerbose(kRDDILogTag, "HTTP response received with status code: {}, payload:\n{}",
                   response ? response->statusCode : 0, payload);
}

// --- Dez Idedev ----------------------------------------------------------------------

std::shared_ptr<RDDIDezIdedevIngestion> RDDIDezIdedevIngestion::create(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                                       const std::string& baseUrl,
                                                                       const std::string& installId) {
    std::shared_ptr<RDDIDezIdedevIngestion> ingestion(new RDDIDezIdedevIngestion(
        std::move(httpClient), baseUrl, "/logs", {{"Content-Type", "application/json"}, {"Install-ID", installId}},
        {{"api-version", "1.0.0"}}));
    ingestion->attachToClient();
    return ingestion;
}

void RDDIDezIdedevIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                                       RDDISendAsyncCompletionHandler completionHandler) {
    sendAsync(data, std::nullopt, std::move(completionHandler));
}

void RDDIDezIdedevIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                                       const std::optional<std::string>& eTag,
                                       RDDISendAsyncCompletionHandler completionHandler) {
    if (!data || !data->isValid()) {
        RDDIAnswerInvalidContainer(data, completionHandler);
        return;
    }
    if (!appSecret()) {
        RDDILogError(kRDDILogTag, "DezIdedev ingestion is used without app secret.");
        return;
    }
    RDDIHttpIngestion::sendAsync(data, eTag, data->batchId.value_or(std::string()), std::move(completionHandler));
}

bool RDDIDezIdedevIngestion::isReadyToSend() const { return appSecret().has_value(); }

std::optional<std::string> RDDIDezIdedevIngestion::appSecret() const {
    std::lock_guard lock(mutex_);
    return appSecret_;
}

void RDDIDezIdedevIngestion::setAppSecret(const std::optional<std::string>& appSecret) {
    if (appSecret && !RDDIIsHeaderSafe(*appSecret)) {
        RDDILogError(kRDDILogTag, "The app secret holds a line break or NUL character; it is ignored.");
        return;
    }
    std::lock_guard lock(mutex_);
    appSecret_ = appSecret;
}

std::map<std::string, std::string> RDDIDezIdedevIngestion::getHeadersWithData(const RDDILogContainer&,
                                                                             const std::optional<std::string>&) {
    auto headers = httpHeaders();
    if (auto secret = appSecret()) headers["App-Secret"] = *secret;
    return headers;
}

std::optional<pf::Data> RDDIDezIdedevIngestion::getPayloadWithData(const RDDILogContainer& data) {
    auto text = data.serializeLog();
    if (!text) return std::nullopt;
    return pf::dataFromString(*text);
}

}  // namespace rddi
