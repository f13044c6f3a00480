#include "telemetry/core/rddi_abstract_log.hpp"

#include "platform/foundation/json.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/foundation/bundle.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <fmt/format.h>

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
        const pf::Value value(serializeToDictionary());
        return pf::json::serialize(pf::needsUTF8Repair(value) ? pf::withValidUTF8(value) : value,
                                   {.prettyPrinted = prettyPrint});
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<std::shared_ptr<RDDICommonSchemaLog>> RDDIAbstractLog::toCommonSchemaLogsWithFlags(std::uint64_t flags) const {
    std::vector<std::shared_ptr<RDDICommonSchemaLog>> logs;
    for (const auto& token : transmissionTargetTokens()) {
        if (auto log = toCommonSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
    }
    return logs;
}

namespace {

std::string replacingAll(std::string text, char from, char to) {
    for (auto& c : text) {
        if (c == from) c = to;
    }
    return text;
}

// The application's first localization: its development region, else English.
std::string bundleLocalization() {
    const pf::Value region = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleDevelopmentRegion");
    if (const auto* text = region.asString(); text && !text->empty()) return *text;
    return "en";
}

}  // namespace

std::shared_ptr<RDDICommonSchemaLog> RDDIAbstractLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                      std::uint64_t flags) const {
    auto log = std::make_shared<RDDICommonSchemaLog>();
    log->addTransmissionTargetToken(token);
    log->ver = RDDICommonSchemaLog::kVersion;
    log->timestamp = timestamp;
    log->iKey = RDDIUtility::iKeyFromTargetToken(token);
    log->flags = static_cast<std::int64_t>(flags);

    auto ext = std::make_shared<RDDICSExtensions>();
    const RDDIDevice empty;
    const RDDIDevice& d = device ? *device : empty;
    ext->protocolExt = std::make_shared<RDDIProtocolExtension>();
    ext->protocolExt->devMake = d.oemName;
    ext->protocolExt->devModel = d.model;
    ext->userExt = std::make_shared<RDDIUserExtension>();
    ext->userExt->localId = RDDIUserIdContext::prefixedUserIdFromUserId(userId);
    if (d.locale) ext->userExt->locale = replacingAll(*d.locale, '_', '-');
    ext->osExt = std::make_shared<RDDIOSExtension>();
    ext->osExt->name = d.osName;
    ext->osExt->ver = combineOsVersion(d.osVersion, d.osBuild);
    ext->appExt = std::make_shared<RDDIAppExtension>();
    if (d.appNamespace) ext->appExt->appId = "I:" + *d.appNamespace;
    ext->appExt->ver = d.appVersion;
    ext->appExt->locale = bundleLocalization();
    ext->netExt = std::make_shared<RDDINetExtension>();
    ext->netExt->provider = d.carrierName;
    ext->sdkExt = std::make_shared<RDDISDKExtension>();
    ext->sdkExt->libVer = combineSDKLibVer(d.sdkName, d.sdkVersion);
    ext->locExt = std::make_shared<RDDILocExtension>();
    if (d.timeZoneOffset) ext->locExt->tz = convertTimeZoneOffsetToISO8601(*d.timeZoneOffset);
    ext->deviceExt = std::make_shared<RDDIDeviceExtension>();
    log->ext = std::move(ext);
    return log;
}

std::optional<std::string> RDDIAbstractLog::combineOsVersion(const std::optional<std::string>& version,
                                                             const std::optional<std::string>& build) {
    const bool hasVersion = version && !version->empty();
    const bool hasBuild = build && !build->empty();
    if (!hasVersion && !hasBuild) return std::nullopt;
    // A missing version prints as the platform prints a missing object.
    std::string text = hasVersion ? "Version " + *version : std::string("(null)");
    if (hasBuild) text += " (Build " + *build + ")";
    return text;
}

std::optional<std::string> RDDIAbstractLog::combineSDKLibVer(const std::optional<std::string>& name,
                                                             const std::optional<std::string>& version) {
    if (!name || name->empty() || !version || version->empty()) return std::nullopt;
    return *name + "-" + *version;
}

std::string RDDIAbstractLog::convertTimeZoneOffsetToISO8601(std::int64_t minutes) {
    const std::int64_t hours = minutes / 60;
    const std::int64_t rest = (minutes < 0 ? -minutes : minutes) % 60;
    // "%+03ld": a sign is always written; a negative offset under an hour keeps its sign.
    const char sign = minutes < 0 ? '-' : '+';
    return fmt::format("{}{:02}:{:02}", sign, hours < 0 ? -hours : hours, rest);
}

std::set<std::string> RDDIAbstractLog::transmissionTargetTokens() const {
    std::lock_guard lock(tokensLock_);
    return transmissionTargetTokens_;
}

void RDDIAbstractLog::addTransmissionTargetToken(const std::string& token) {
    if (!RDDIIsHeaderSafe(token)) {
        RDDILogError(kRDDILogTag, "The transmission target token holds a line break or NUL character; it is ignored.");
        return;
    }
    std::lock_guard lock(tokensLock_);
    transmissionTargetTokens_.insert(token);
}

}  // namespace rddi
