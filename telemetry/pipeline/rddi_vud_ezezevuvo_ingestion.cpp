#include "telemetry/pipeline/rddi_vud_ezezevuvo_ingestion.hpp"

#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <set>

namespace rddi {

namespace pf = platform::foundation;

std::shared_ptr<RDDIVudEzezevuvoIngestion> RDDIVudEzezevuvoIngestion::create(
    std::shared_ptr<RDDIHttpClientProtocol> httpClient, const std::string& baseUrl) {
    std::shared_ptr<RDDIVudEzezevuvoIngestion> ingestion(new RDDIVudEzezevuvoIngestion(
        std::move(httpClient), baseUrl, "/VudEzezevuvo/1.0",
        {{"Content-Type", "application/x-json-stream; charset=utf-8"},
         {"Client-Version", "ACS-iOS-ObjectiveC-no-" + RDDIUtility::sdkVersion() + "-no"}},
        {}));
    ingestion->attachToClient();
    return ingestion;
}

void RDDIVudEzezevuvoIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                                          RDDISendAsyncCompletionHandler completionHandler) {
    sendAsync(data, std::nullopt, std::move(completionHandler));
}

void RDDIVudEzezevuvoIngestion::sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                                          const std::optional<std::string>& eTag,
                                          RDDISendAsyncCompletionHandler completionHandler) {
    if (!data || !data->isValid()) {
        RDDIAnswerInvalidContainer(data, completionHandler);
        return;
    }
    RDDIHttpIngestion::sendAsync(data, eTag, data->batchId.value_or(std::string()), std::move(completionHandler));
}

std::map<std::string, std::string> RDDIVudEzezevuvoIngestion::getHeadersWithData(const RDDILogContainer& data,
                                                                                const std::optional<std::string>&) {
    auto headers = httpHeaders();
    std::set<std::string> tokens;
    for (const auto& log : data.logs) {
        if (!log) continue;
        for (const auto& token : log->transmissionTargetTokens()) tokens.insert(token);
    }
    std::string apikey;
    for (const auto& token : tokens) {
        if (!apikey.empty()) apikey += ",";
        apikey += token;
    }
    headers["apikey"] = apikey;
    headers["Upload-Time"] = std::to_string(static_cast<std::int64_t>(RDDIUtility::nowInMilliseconds()));

    nlohmann::json tickets = nlohmann::json::object();
    auto& cache = RDDITicketCache::sharedInstance();
    for (const auto& log : data.logs) {
        auto csLog = std::dynamic_pointer_cast<RDDICommonSchemaLog>(log);
        if (!csLog || !csLog->ext || !csLog->ext->protocolExt || !csLog->ext->protocolExt->ticketKeys) continue;
        for (const auto& key : *csLog->ext->protocolExt->ticketKeys) {
            if (auto ticket = cache.ticketFor(key)) tickets[key] = *ticket;
        }
    }
    if (!tickets.empty()) {
        headers["Tickets"] = tickets.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return headers;
}

std::optional<pf::Data> RDDIVudEzezevuvoIngestion::getPayloadWithData(const RDDILogContainer& data) {
    std::string body;
    for (const auto& log : data.logs) {
        auto text = log ? log->serializeLogWithPrettyPrinting(false) : std::nullopt;
        if (!text) return std::nullopt;
        body += *text;
        body += "\n";
    }
    return pf::dataFromString(body);
}

std::string RDDIVudEzezevuvoIngestion::obfuscateResponsePayload(const std::string& payload) const {
    return RDDIUtility::obfuscateString(payload, "\"token\"\\s*:\\s*\"[^\"]+\"", "\"token\" : \"***\"")
        .value_or(payload);
}

std::string RDDIVudEzezevuvoIngestion::obfuscateTargetTokens(const std::string& tokens) {
    std::string out;
    std::size_t from = 0;
    while (true) {
        const auto comma = tokens.find(',', from);
        out += RDDIHttpUtil::hideSecret(tokens.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (comma == std::string::npos) break;
        out += ",";
        from = comma + 1;
    }
    return out;
}

std::string RDDIVudEzezevuvoIngestion::obfuscateTickets(const std::string& tickets) {
    // Tickets are "kind:secret"; one without a kind would otherwise be logged in clear.
    auto parsed = nlohmann::json::parse(tickets, nullptr, false);
    if (parsed.is_object()) {
        for (auto& [key, value] : parsed.items()) {
            if (!value.is_string()) continue;
            const auto text = value.get<std::string>();
            const auto colon = text.find(':');
            value = colon == std::string::npos ? std::string("***") : text.substr(0, colon) + ":***";
        }
        return parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    return RDDIUtility::obfuscateString(tickets, ":[^\"]+", ":***").value_or("***");
}

std::string RDDIVudEzezevuvoIngestion::obfuscateHeaderValue(const std::string& name, const std::string& value) const {
    if (name == "apikey") return obfuscateTargetTokens(value);
    if (name == "Tickets") return obfuscateTickets(value);
    return RDDIHttpIngestion::obfuscateHeaderValue(name, value);
}

}  // namespace rddi
