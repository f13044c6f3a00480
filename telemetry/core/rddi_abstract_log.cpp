#include "telemetry/core/rddi_abstract_log.hpp"

#include "platform/foundation/json.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <exception>

namespace rddi {

namespace pf = platform::foundation;

std::string RDDIDateToISO8601(pf::Date date) { return date.iso8601(); }

RDDIAbstractLog::RDDIAbstractLog(const RDDIAbstractLog& other)
    : type(other.type),
      timestamp(other.timestamp),
      sid(other.sid),
      distributionGroupId(other.distributionGroupId),
      userId(other.userId),
      tag(other.tag) {
    transmissionTargetTokens_ = other.transmissionTargetTokens();
}

pf::Dictionary RDDIAbstractLog::serializeToDictionary() const {
    pf::Dictionary dict;
    if (type) dict["type"] = *type;
    if (timestamp) dict["timestamp"] = RDDIDateToISO8601(*timestamp);
    if (sid) dict["sid"] = *sid;
    if (distributionGroupId) dict["distributionGroupId"] = *distributionGroupId;
    if (userId) dict["userId"] = *userId;
    return dict;
}

bool RDDIAbstractLog::invalidField(const std::string& field) const {
    RDDILogVerbose(kRDDILogTag, "{}: \"{}\" is not valid.", className(), field);
    return false;
}

bool RDDIAbstractLog::isValid() const {
    if (!type) return invalidField("type");
    if (!timestamp) return invalidField("timestamp");
    return true;
}

bool RDDIAbstractLog::isEqual(const RDDIAbstractLog& other) const {
    return tag == other.tag && type == other.type && sid == other.sid &&
           distributionGroupId == other.distributionGroupId && userId == other.userId &&
           timestamp == other.timestamp;
}

std::optional<std::string> RDDIAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    try {
        return pf::json::serialize(pf::Value(serializeToDictionary()), {.prettyPrinted = prettyPrint});
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::set<std::string> RDDIAbstractLog::transmissionTargetTokens() const {
    std::lock_guard lock(tokensLock_);
    return transmissionTargetTokens_;
}

void RDDIAbstractLog::addTransmissionTargetToken(const std::string& token) {
    std::lock_guard lock(tokensLock_);
    transmissionTargetTokens_.insert(token);
}

}  // namespace rddi
