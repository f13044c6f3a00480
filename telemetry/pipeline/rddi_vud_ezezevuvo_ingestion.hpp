#pragma once
// The Common Schema collector: batches of Common Schema logs POSTed to
// "/VudEzezevuvo/1.0" as one JSON object per line, with the batch's target tokens as
// "apikey" and the cached tickets of its logs as "Tickets".
#include "telemetry/pipeline/rddi_http_ingestion.hpp"

namespace rddi {

class RDDIVudEzezevuvoIngestion final : public RDDIHttpIngestion {
public:
    static std::shared_ptr<RDDIVudEzezevuvoIngestion> create(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                             const std::string& baseUrl);

    // An invalid container is answered with code 1 and its batch id; a valid one is
    // reported under its batch id.
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, RDDISendAsyncCompletionHandler completionHandler) override;
    void sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                   RDDISendAsyncCompletionHandler completionHandler) override;
    using RDDIHttpIngestion::sendAsync;

    std::map<std::string, std::string> getHeadersWithData(const RDDILogContainer& data,
                                                          const std::optional<std::string>& eTag) override;
    // Each log's JSON without pretty printing and "\n"; none when a log has no JSON form.
    std::optional<platform::foundation::Data> getPayloadWithData(const RDDILogContainer& data) override;
    // Every JSON member "token" with a string value shows as "token" : "***".
    std::string obfuscateResponsePayload(const std::string& payload) const override;
    std::string className() const override { return "RDDIVudEzezevuvoIngestion"; }

    // Each comma-separated token masked to its last 8 characters.
    static std::string obfuscateTargetTokens(const std::string& tokens);
    // Each ticket's text after its first ":" as "***" (":***"); a ticket without a ":"
    // shows as "***" whole.
    static std::string obfuscateTickets(const std::string& tickets);

protected:
    std::string obfuscateHeaderValue(const std::string& name, const std::string& value) const override;

private:
    using RDDIHttpIngestion::RDDIHttpIngestion;
};

}  // namespace rddi
