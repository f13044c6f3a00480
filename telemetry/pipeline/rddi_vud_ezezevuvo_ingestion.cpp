#include "telemetry/pipeline/rddi_vud_ezezevuvo_ingestion.hpp"

#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string_view>

namespace rddi {

namespace pf = platform::foundation;

namespace {

// The masks below are scanned by hand, not matched by a regular expression: what they
// read comes from the network and the host, of any length, and an engine that recurses
// once per character of a match overflows the stack on a long one.

bool isPatternSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool startsWithIgnoringCase(std::string_view text, std::size_t at, std::string_view word) {
    if (text.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(text[at + i]) != word[i]) return false;
    }
    return true;
}

// Where a match of "token"\s*:\s*"[^"]+" (any case) starting at `at` ends, or npos.
std::size_t tokenMemberEnd(std::string_view text, std::size_t at) {
    static constexpr std::string_view kName = "\"token\"";
    if (!startsWithIgnoringCase(text, at, kName)) return std::string_view::npos;
    std::size_t i = at + kName.size();
    while (i < text.size() && isPatternSpace(text[i])) ++i;
    if (i == text.size() || text[i] != ':') return std::string_view::npos;
    ++i;
    while (i < text.size() && isPatternSpace(text[i])) ++i;
    if (i == text.size() || text[i] != '"') return std::string_view::npos;
    const auto close = text.find('"', i + 1);
    if (close == std::string_view::npos || close == i + 1) return std::string_view::npos;
    return close + 1;
}

}  // namespace

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
    // Every JSON member named token with a string value, masked.
    std::string out;
    out.reserve(payload.size());
    for (std::size_t at = 0; at < payload.size();) {
        if (const auto end = tokenMemberEnd(payload, at); end != std::string::npos) {
            out += "\"token\" : \"***\"";
            at = end;
        } else {
            out += payload[at++];
        }
    }
    return out;
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
    // Not JSON: whatever follows a colon, up to a quote, is masked.
    std::string out;
    for (std::size_t at = 0; at < tickets.size();) {
        const char c = tickets[at++];
        out += c;
        if (c != ':' || at == tickets.size() || tickets[at] == '"') continue;
        out += "***";
        at = std::min(tickets.find('"', at), tickets.size());
    }
    return out;
}

std::string RDDIVudEzezevuvoIngestion::obfuscateHeaderValue(const std::string& name, const std::string& value) const {
    if (name == "apikey") return obfuscateTargetTokens(value);
    if (name == "Tickets") return obfuscateTickets(value);
    return RDDIHttpIngestion::obfuscateHeaderValue(name, value);
}

}  // namespace rddi
