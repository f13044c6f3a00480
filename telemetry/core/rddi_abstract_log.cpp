#include "telemetry/core/rddi_abstract_log.hpp"

#include "platform/foundation/json.hpp"
#include "platform/foundation/utf8.hpp"
#include "telemetry/core/rddi_history_info.hpp"
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
      device(other.device),
      tag(other.tag) {
    transmissionTargetTokens_ = other.transmissionTargetTokens();
}

RDDIAbstractLog::RDDIAbstractLog(const pf::KeyedUnarchiver& unarchiver)
    : type(RDDIDecodeOptionalString(unarchiver, "type")),
      timestamp(RDDIDecodeOptionalDate(unarchiver, "timestamp")),
      sid(RDDIDecodeOptionalString(unarchiver, "sid")),
      distributionGroupId(RDDIDecodeOptionalString(unarchiver, "distributionGroupId")),
      userId(RDDIDecodeOptionalString(unarchiver, "userId")),
      device(unarchiver.decodeObject<RDDIDevice>("device")) {}

void RDDIAbstractLog::encode(pf::KeyedArchiver& archiver) const {
    if (type) archiver.encodeString("type", *type);
    if (timestamp) RDDIEncodeDate(archiver, "timestamp", *timestamp);
    if (sid) archiver.encodeString("sid", *sid);
    if (distributionGroupId) archiver.encodeString("distributionGroupId", *distributionGroupId);
    if (userId) archiver.encodeString("userId", *userId);
    archiver.encodeObject("device", device.get());
}

pf::Dictionary RDDIAbstractLog::serializeToDictionary() const {
    pf::Dictionary dict;
    if (type) dict["type"] = *type;
    if (timestamp) dict["timestamp"] = RDDIDateToISO8601(*timestamp);
    if (sid) dict["sid"] = *sid;
    if (distributionGroupId) dict["distributionGroupId"] = *distributionGroupId;
    if (userId) dict["userId"] = *userId;
    if (device) dict["device"] = device->serializeToDictionary();
    return dict;
}

bool RDDIAbstractLog::invalidField(const std::string& field) const {
    RDDILogVerbose(kRDDILogTag, "{}: \"{}\" is not valid.", className(), field);
    return false;
}

bool RDDIAbstractLog::isValid() const {
    if (!type) return invalidField("type");
    if (!timestamp) return invalidField("timestamp");
    if (!device || !device->isValid()) return invalidField("device");
    return true;
}

bool RDDIAbstractLog::isEqual(const RDDIAbstractLog& other) const {
    return tag == other.tag && type == other.type && sid == other.sid &&
           distributionGroupId == other.distributionGroupId && userId == other.userId &&
           timestamp == other.timestamp &&
           (device == other.device || (device && other.device && device->isEqual(*other.device)));
}

std::optional<std::string> RDDIAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    try {
        return pf::json::serialize(pf::withValidUTF8(pf::Value(serializeToDictionary())), {.prettyPrinted = prettyPrint});
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
