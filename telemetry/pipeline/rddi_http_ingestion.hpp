#pragma once
// The common base of the ingestions: one batch of logs becomes one request to the send
// URL (base + path + query) with fixed and per-request headers, sent through the HTTP
// client with a retry schedule; requests and responses are logged with secrets masked.
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIHttpIngestion : public RDDIIngestionProtocol,
                          public RDDIHttpClientDelegate,
                          public std::enable_shared_from_this<RDDIHttpIngestion> {
public:
    ~RDDIHttpIngestion() override = default;
    RDDIHttpIngestion(const RDDIHttpIngestion&) = delete;
    RDDIHttpIngestion& operator=(const RDDIHttpIngestion&) = delete;

    // RDDIIngestionProtocol. A fresh random UUID string names each call.
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, RDDISendAsyncCompletionHandler completionHandler) override;
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                   RDDISendAsyncCompletionHandler completionHandler) override;
    bool isReadyToSend() const override { return true; }
    // Enabled, and the SDK allows network requests.
    bool isEnabled() const override;
    // The deletion flag is not used here.
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;

    // Sends under `callId`: refused at once with code 3 while not enabled; a batch that
    // gives no body is refused with code 1 rather than sent empty.
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                   const std::string& callId, RDDISendAsyncCompletionHandler completionHandler);

    // Keeps the send URL's query; a base that is not an absolute URL with a host and
    // without a path of its own leaves the send URL as it is ("Failed to update …").
    void setBaseURL(const std::string& baseURL);

    // RDDIHttpClientDelegate: "URL: …" and "Headers: …" at verbose level, secrets masked.
    void willSendHTTPRequestToURL(const platform::foundation::URL& url,
                                  const std::map<std::string, std::string>& headers) override;

    // The value of the first header whose lower-cased name is "etag".
    static std::optional<std::string> eTagFromResponse(const platform::network::HTTPURLResponse& response);
    // base + path, then "?" and the query entries as "key=value" joined by "&",
    // percent-encoded for a URL query; none when the result is not a URL.
    static std::optional<platform::foundation::URL> buildURLWithBaseURL(
        const std::string& baseURL, const std::string& apiPath, const std::map<std::string, std::string>& queryStrings);

    platform::foundation::URL sendURL() const;
    std::string baseURL() const;
    const std::string& apiPath() const { return apiPath_; }
    const std::map<std::string, std::string>& httpHeaders() const { return httpHeaders_; }
    const std::shared_ptr<RDDIHttpClientProtocol>& httpClient() const { return httpClient_; }
    const std::vector<double>& callsRetryIntervals() const { return callsRetryIntervals_; }
    std::optional<long> maxNumberOfConnections() const { return maxNumberOfConnections_; }

    // Hooks of the subclasses; the base gives nothing.
    virtual std::map<std::string, std::string> getHeadersWithData(const RDDILogContainer& data,
                                                                  const std::optional<std::string>& eTag);
    virtual std::optional<platform::foundation::Data> getPayloadWithData(const RDDILogContainer& data);
    virtual std::string obfuscateResponsePayload(const std::string& payload) const { return payload; }
    virtual std::string getHttpMethod() const { return "POST"; }
    virtual std::string className() const { return "RDDIHttpIngestion"; }

    // An error at debug level; otherwise, at verbose level only, the status and the body
    // (pretty JSON, "<binary>", or text) with secrets masked.
    void printResponse(const std::optional<platform::network::HTTPURLResponse>& response,
                       const std::optional<platform::foundation::Data>& body,
                       const std::optional<platform::foundation::Error>& error) const;

protected:
    RDDIHttpIngestion(std::shared_ptr<RDDIHttpClientProtocol> httpClient, std::string baseUrl, std::string apiPath,
                      std::map<std::string, std::string> headers, std::map<std::string, std::string> queryStrings,
                      std::vector<double> retryIntervals = defaultRetryIntervals(),
                      std::optional<long> maxNumberOfConnections = std::nullopt);
    // Makes the ingestion its client's delegate; the factories call it once made.
    void attachToClient();
    // A header's value as the request log shows it.
    virtual std::string obfuscateHeaderValue(const std::string& name, const std::string& value) const;

    // Re-entrant: a handler called at once may come back into the ingestion.
    mutable std::recursive_mutex mutex_;

private:
    bool enabled_ = true;
    std::string baseURL_;
    std::string apiPath_;
    platform::foundation::URL sendURL_;
    std::map<std::string, std::string> httpHeaders_;
    std::shared_ptr<RDDIHttpClientProtocol> httpClient_;
    std::vector<double> callsRetryIntervals_;
    std::optional<long> maxNumberOfConnections_;
};

// The Dez Idedev log endpoint: JSON batches POSTed to "/logs?api-version=1.0.0" with the
// install id and the app secret.
class RDDIDezIdedevIngestion final : public RDDIHttpIngestion {
public:
    static std::shared_ptr<RDDIDezIdedevIngestion> create(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                          const std::string& baseUrl, const std::string& installId);

    // An invalid container is answered with code 1 and its batch id; without an app
    // secret the batch is only logged. Otherwise reported under the batch id.
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, RDDISendAsyncCompletionHandler completionHandler) override;
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                   RDDISendAsyncCompletionHandler completionHandler) override;
    using RDDIHttpIngestion::sendAsync;
    // An app secret is set.
    bool isReadyToSend() const override;

    std::optional<std::string> appSecret() const;
    // A secret holding CR, LF or NUL is refused (logged); the previous one stays.
    void setAppSecret(const std::optional<std::string>& appSecret);

    std::map<std::string, std::string> getHeadersWithData(const RDDILogContainer& data,
                                                          const std::optional<std::string>& eTag) override;
    std::optional<platform::foundation::Data> getPayloadWithData(const RDDILogContainer& data) override;
    std::string className() const override { return "RDDIDezIdedevIngestion"; }

private:
    using RDDIHttpIngestion::RDDIHttpIngestion;
    std::optional<std::string> appSecret_;
};

// Answers a batch that cannot be sent with code 1 under its batch id, logged at error level.
void RDDIAnswerInvalidContainer(const std::shared_ptr<RDDILogContainer>& data,
                                const RDDISendAsyncCompletionHandler& completionHandler);

}  // namespace rddi
