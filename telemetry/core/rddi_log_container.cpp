#include "telemetry/core/rddi_log_container.hpp"

#include "platform/foundation/json.hpp"
#include "platform/foundation/utf8.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

namespace rddi {

namespace pf = platform::foundation;

std::optional<std::string> RDDILogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    pf::Array serialized;
    serialized.reserve(logs.size());
    for (const auto& log : logs) {
        if (log) serialized.emplace_back(log->serializeToDictionary());
    }
    pf::Dictionary root;
    root.emplace("logs", pf::Value(std::move(serialized)));
    const pf::Value value(std::move(root));
    try {
        return pf::json::serialize(pf::needsUTF8Repair(value) ? pf::withValidUTF8(value) : value,
                                   {.prettyPrinted = prettyPrint});
    } catch (const std::exception& error) {
        RDDILogError(kRDDILogTag, "Couldn't serialize log container to json: {}", error.what());
        return std::nullopt;
    }
}

bool RDDILogContainer::isValid() const {
    if (logs.empty()) {
        RDDILogVerbose(kRDDILogTag, "{}: there are no logs in container.", "RDDILogContainer");
        return false;
    }
    for (const auto& log : logs) {
        if (!log || !log->isValid()) return false;
    }
    return true;
}

}  // namespace rddi
