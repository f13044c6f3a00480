#include "telemetry/core/rddi_common_schema_log.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/json.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <mutex>
#include <vector>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr std::size_t kMaxArchivedJsonDepth = 128;

pf::Error corrupt(const std::string& why) { return pf::Error(pf::FoundationErrorCode::coderReadCorrupt, why); }

void put(RDDIOrderedJson& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

std::optional<RDDIOrderedJson> unlessEmpty(RDDIOrderedJson json) {
    if (json.empty()) return std::nullopt;
    return json;
}

void encodeText(pf::KeyedArchiver& archiver, std::string_view key, const std::optional<std::string>& value) {
    if (value) archiver.encodeString(key, *value);
}

std::optional<std::string> text(const pf::KeyedUnarchiver& unarchiver, std::string_view key) {
    return RDDIDecodeOptionalString(unarchiver, key);
}

// Deepest nesting of a JSON value, measured without recursion.
std::size_t depthOf(const RDDIOrderedJson& root) {
    std::size_t deepest = 0;
    std::vector<std::pair<const RDDIOrderedJson*, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        if (node->is_structured()) {
            for (const auto& child : *node) pending.emplace_back(&child, depth + 1);
        }
    }
    return deepest;
}

// An object archived as its JSON text (key order and nested values kept).
void encodeObjectJson(pf::KeyedArchiver& archiver, std::string_view key, const std::optional<RDDIOrderedJson>& json) {
    if (json) archiver.encodeString(key, RDDIDumpOrderedJson(*json, false));
}

std::optional<RDDIOrderedJson> decodeObjectJson(const pf::KeyedUnarchiver& unarchiver, std::string_view key) {
    const auto stored = text(unarchiver, key);
    if (!stored) return std::nullopt;
    auto json = RDDIOrderedJson::parse(*stored, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw corrupt("An archived JSON object cannot be read.");
    if (depthOf(json) > kMaxArchivedJsonDepth) throw corrupt("An archived JSON object is nested too deeply.");
    return json;
}

template <class T>
const T* sameClass(const RDDICSPart& other) {
    return dynamic_cast<const T*>(&other);
}

template <class T>
bool equalParts(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    if (!a || !b) return !a && !b;
    return a->isEqual(*b);
}

}  // namespace

std::string RDDIDumpOrderedJson(const RDDIOrderedJson& json, bool prettyPrint) {
    // nlohmann never escapes "/"; invalid UTF-8 is written as U+FFFD rather than failing.
    return json.dump(prettyPrint ? 2 : -1, ' ', false, RDDIOrderedJson::error_handler_t::replace);
}

// --- Extensions ---------------------------------------------------------------------

RDDIMetadataExtension::RDDIMetadataExtension(const pf::KeyedUnarchiver& u) : metadata(decodeObjectJson(u, "metadata")) {}
void RDDIMetadataExtension::encode(pf::KeyedArchiver& archiver) const { encodeObjectJson(archiver, "metadata", metadata); }
std::optional<RDDIOrderedJson> RDDIMetadataExtension::serializeToJson() const { return metadata; }
bool RDDIMetadataExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIMetadataExtension>(other);
    return o && o->metadata == metadata;
}

RDDIProtocolExtension::RDDIProtocolExtension(const pf::KeyedUnarchiver& u)
    : devMake(text(u, "devMake")), devModel(text(u, "devModel")) {
    const pf::Value keys = u.decode("ticketKeys");
    if (keys.isNull()) return;
    const auto* list = keys.asArray();
    if (!list) throw corrupt("The archived ticket keys are not a list.");
    std::vector<std::string> decoded;
    for (const auto& key : *list) {
        if (!key.isString()) throw corrupt("An archived ticket key is not text.");
        decoded.push_back(*key.asString());
    }
    ticketKeys = std::move(decoded);
}
void RDDIProtocolExtension::encode(pf::KeyedArchiver& archiver) const {
    if (ticketKeys) {
        pf::Array keys;
        for (const auto& key : *ticketKeys) keys.emplace_back(key);
        archiver.encode("ticketKeys", pf::Value(std::move(keys)));
    }
    encodeText(archiver, "devMake", devMake);
    encodeText(archiver, "devModel", devModel);
}
std::optional<RDDIOrderedJson> RDDIProtocolExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    if (ticketKeys) json["ticketKeys"] = *ticketKeys;
    put(json, "devMake", devMake);
    put(json, "devModel", devModel);
    return unlessEmpty(std::move(json));
}
bool RDDIProtocolExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIProtocolExtension>(other);
    return o && o->ticketKeys == ticketKeys && o->devMake == devMake && o->devModel == devModel;
}

RDDIUserExtension::RDDIUserExtension(const pf::KeyedUnarchiver& u) : localId(text(u, "localId")), locale(text(u, "locale")) {}
void RDDIUserExtension::encode(pf::KeyedArchiver& archiver) const {
    encodeText(archiver, "localId", localId);
    encodeText(archiver, "locale", locale);
}
std::optional<RDDIOrderedJson> RDDIUserExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "localId", localId);
    put(json, "locale", locale);
    return unlessEmpty(std::move(json));
}
bool RDDIUserExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIUserExtension>(other);
    return o && o->localId == localId && o->locale == locale;
}

RDDIDeviceExtension::RDDIDeviceExtension(const pf::KeyedUnarchiver& u) : localId(text(u, "localId")) {}
void RDDIDeviceExtension::encode(pf::KeyedArchiver& archiver) const { encodeText(archiver, "localId", localId); }
std::optional<RDDIOrderedJson> RDDIDeviceExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "localId", localId);
    return unlessEmpty(std::move(json));
}
bool RDDIDeviceExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIDeviceExtension>(other);
    return o && o->localId == localId;
}

RDDIOSExtension::RDDIOSExtension(const pf::KeyedUnarchiver& u) : ver(text(u, "ver")), name(text(u, "name")) {}
void RDDIOSExtension::encode(pf::KeyedArchiver& archiver) const {
    encodeText(archiver, "ver", ver);
    encodeText(archiver, "name", name);
}
std::optional<RDDIOrderedJson> RDDIOSExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "ver", ver);
    put(json, "name", name);
    return unlessEmpty(std::move(json));
}
bool RDDIOSExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIOSExtension>(other);
    return o && o->ver == ver && o->name == name;
}

RDDIAppExtension::RDDIAppExtension(const pf::KeyedUnarchiver& u)
    : appId(text(u, "id")), ver(text(u, "ver")), name(text(u, "name")), locale(text(u, "locale")), userId(text(u, "userId")) {}
void RDDIAppExtension::encode(pf::KeyedArchiver& archiver) const {
    encodeText(archiver, "id", appId);
    encodeText(archiver, "ver", ver);
    encodeText(archiver, "name", name);
    encodeText(archiver, "locale", locale);
    encodeText(archiver, "userId", userId);
}
std::optional<RDDIOrderedJson> RDDIAppExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "id", appId);
    put(json, "ver", ver);
    put(json, "name", name);
    put(json, "locale", locale);
    put(json, "userId", userId);
    return unlessEmpty(std::move(json));
}
bool RDDIAppExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDIAppExtension>(other);
    return o && o->appId == appId && o->ver == ver && o->name == name && o->locale == locale && o->userId == userId;
}

RDDINetExtension::RDDINetExtension(const pf::KeyedUnarchiver& u) : provider(text(u, "provider")) {}
void RDDINetExtension::encode(pf::KeyedArchiver& archiver) const { encodeText(archiver, "provider", provider); }
std::optional<RDDIOrderedJson> RDDINetExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "provider", provider);
    return unlessEmpty(std::move(json));
}
bool RDDINetExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDINetExtension>(other);
    return o && o->provider == provider;
}

RDDISDKExtension::RDDISDKExtension(const pf::KeyedUnarchiver& u)
    : libVer(text(u, "libVer")), epoch(text(u, "epoch")), seq(RDDIDecodeOptionalInteger(u, "seq").value_or(0)) {
    if (const auto id = text(u, "installId")) {
        installId = pf::UUID::fromString(*id);
        if (!installId) throw corrupt("The archived install id is not a UUID.");
    }
}
void RDDISDKExtension::encode(pf::KeyedArchiver& archiver) const {
    encodeText(archiver, "libVer", libVer);
    encodeText(archiver, "epoch", epoch);
    if (installId) archiver.encodeString("installId", installId->uuidString());
    archiver.encodeInteger("seq", seq);
}
std::optional<RDDIOrderedJson> RDDISDKExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "libVer", libVer);
    put(json, "epoch", epoch);
    if (installId) json["installId"] = installId->uuidString();
    if (seq != 0) json["seq"] = seq;
    return unlessEmpty(std::move(json));
}
bool RDDISDKExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDISDKExtension>(other);
    return o && o->libVer == libVer && o->epoch == epoch && o->installId == installId && o->seq == seq;
}

RDDILocExtension::RDDILocExtension(const pf::KeyedUnarchiver& u) : tz(text(u, "tz")) {}
void RDDILocExtension::encode(pf::KeyedArchiver& archiver) const { encodeText(archiver, "tz", tz); }
std::optional<RDDIOrderedJson> RDDILocExtension::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "tz", tz);
    return unlessEmpty(std::move(json));
}
bool RDDILocExtension::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDILocExtension>(other);
    return o && o->tz == tz;
}

// --- Extension container ------------------------------------------------------------

RDDICSExtensions::RDDICSExtensions(const pf::KeyedUnarchiver& u)
    : metadataExt(u.decodeObject<RDDIMetadataExtension>("metadata")),
      protocolExt(u.decodeObject<RDDIProtocolExtension>("protocol")),
      userExt(u.decodeObject<RDDIUserExtension>("user")),
      deviceExt(u.decodeObject<RDDIDeviceExtension>("device")),
      osExt(u.decodeObject<RDDIOSExtension>("os")),
      appExt(u.decodeObject<RDDIAppExtension>("app")),
      netExt(u.decodeObject<RDDINetExtension>("net")),
      sdkExt(u.decodeObject<RDDISDKExtension>("sdk")),
      locExt(u.decodeObject<RDDILocExtension>("loc")) {}

namespace {
// Member JSON key, validity name and the member itself, in member order.
struct Member {
    const char* key;
    const char* validityName;
    const RDDICSPart* part;
};
std::vector<Member> membersOf(const RDDICSExtensions& e) {
    return {{"metadata", "metadataExt", e.metadataExt.get()}, {"protocol", "protocolExt", e.protocolExt.get()},
            {"user", "userExt", e.userExt.get()},             {"device", "deviceExt", e.deviceExt.get()},
            {"os", "osExt", e.osExt.get()},                   {"app", "appExt", e.appExt.get()},
            {"net", "netExt", e.netExt.get()},                {"sdk", "sdkExt", e.sdkExt.get()},
            {"loc", "locExt", e.locExt.get()}};
}
}  // namespace

void RDDICSExtensions::encode(pf::KeyedArchiver& archiver) const {
    for (const auto& member : membersOf(*this)) archiver.encodeObject(member.key, member.part);
}

std::optional<RDDIOrderedJson> RDDICSExtensions::serializeToJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    for (const auto& member : membersOf(*this)) {
        if (!member.part) continue;
        if (auto value = member.part->serializeToJson()) json[member.key] = std::move(*value);
    }
    return json;
}

bool RDDICSExtensions::isValid() const {
    for (const auto& member : membersOf(*this)) {
        if (member.part && !member.part->isValid()) {
            RDDILogVerbose(kRDDILogTag, "{}: \"{}\" is not valid.", "RDDICSExtensions", member.validityName);
            return false;
        }
    }
    return true;
}

bool RDDICSExtensions::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDICSExtensions>(other);
    return o && equalParts(metadataExt, o->metadataExt) && equalParts(protocolExt, o->protocolExt) &&
           equalParts(userExt, o->userExt) && equalParts(deviceExt, o->deviceExt) && equalParts(osExt, o->osExt) &&
           equalParts(appExt, o->appExt) && equalParts(netExt, o->netExt) && equalParts(sdkExt, o->sdkExt) &&
           equalParts(locExt, o->locExt);
}

// --- Data part ----------------------------------------------------------------------

RDDICSData::RDDICSData(const pf::KeyedUnarchiver& u) : properties(decodeObjectJson(u, "properties")) {}
void RDDICSData::encode(pf::KeyedArchiver& archiver) const { encodeObjectJson(archiver, "properties", properties); }

std::optional<RDDIOrderedJson> RDDICSData::serializeToJson() const {
    if (!properties) return std::nullopt;
    RDDIOrderedJson json = RDDIOrderedJson::object();
    for (const char* first : {"baseType", "baseData"}) {
        if (properties->contains(first)) json[first] = (*properties)[first];
    }
    for (const auto& [key, value] : properties->items()) {
        if (key != "baseType" && key != "baseData") json[key] = value;
    }
    return json;
}

bool RDDICSData::isEqual(const RDDICSPart& other) const {
    const auto* o = sameClass<RDDICSData>(other);
    return o && o->properties == properties;
}

// --- The log ------------------------------------------------------------------------

RDDICommonSchemaLog::RDDICommonSchemaLog(const pf::KeyedUnarchiver& u)
    : RDDIAbstractLog(u),
      ver(text(u, "ver")),
      name(text(u, "name")),
      iKey(text(u, "iKey")),
      flags(RDDIDecodeOptionalInteger(u, "flags").value_or(0)),
      cV(text(u, "cV")),
      ext(u.decodeObject<RDDICSExtensions>("ext")),
      data(u.decodeObject<RDDICSData>("data")) {
    if (u.containsValue("popSample")) {
        const auto sample = u.decode("popSample").asDouble();
        if (!sample) throw corrupt("The archived sampling rate is not a number.");
        popSample = sample;
    }
}

void RDDICommonSchemaLog::encode(pf::KeyedArchiver& archiver) const {
    RDDIAbstractLog::encode(archiver);
    encodeText(archiver, "ver", ver);
    encodeText(archiver, "name", name);
    if (popSample) archiver.encodeDouble("popSample", *popSample);
    encodeText(archiver, "iKey", iKey);
    archiver.encodeInteger("flags", flags);
    encodeText(archiver, "cV", cV);
    archiver.encodeObject("ext", ext.get());
    archiver.encodeObject("data", data.get());
}

RDDIOrderedJson RDDICommonSchemaLog::serializeToOrderedJson() const {
    RDDIOrderedJson json = RDDIOrderedJson::object();
    put(json, "ver", ver);
    put(json, "name", name);
    if (timestamp) json["time"] = RDDIUtility::dateToISO8601(*timestamp);
    put(json, "iKey", iKey);
    if (flags != 0) json["flags"] = flags;
    if (ext) {
        if (auto value = ext->serializeToJson()) json["ext"] = std::move(*value);
    }
    if (data) {
        if (auto value = data->serializeToJson()) json["data"] = std::move(*value);
    }
    return json;
}

pf::Dictionary RDDICommonSchemaLog::serializeToDictionary() const {
    // The sorted form, for callers that want a plain value; the text keeps the order.
    const pf::Value value = pf::json::parse(RDDIDumpOrderedJson(serializeToOrderedJson(), false));
    return value.asDictionary() ? *value.asDictionary() : pf::Dictionary{};
}

std::optional<std::string> RDDICommonSchemaLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    try {
        return RDDIDumpOrderedJson(serializeToOrderedJson(), prettyPrint);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool RDDICommonSchemaLog::isValid() const {
    if (!timestamp) return invalidField("timestamp");
    if (!ver) return invalidField("ver");
    if (!name) return invalidField("name");
    return true;
}

bool RDDICommonSchemaLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDICommonSchemaLog*>(&other);
    return o && RDDIAbstractLog::isEqual(other) && o->ver == ver && o->name == name && o->popSample == popSample &&
           o->iKey == iKey && o->flags == flags && o->cV == cV && equalParts(ext, o->ext) && equalParts(data, o->data);
}

void RDDIRegisterCommonSchemaArchiveClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        pf::KeyedUnarchiver::registerClass<RDDICommonSchemaLog>("RDDICommonSchemaLog");
        pf::KeyedUnarchiver::registerClass<RDDICSExtensions>("RDDICSExtensions");
        pf::KeyedUnarchiver::registerClass<RDDICSData>("RDDICSData");
        pf::KeyedUnarchiver::registerClass<RDDIMetadataExtension>("RDDIMetadataExtension");
        pf::KeyedUnarchiver::registerClass<RDDIProtocolExtension>("RDDIProtocolExtension");
        pf::KeyedUnarchiver::registerClass<RDDIUserExtension>("RDDIUserExtension");
        pf::KeyedUnarchiver::registerClass<RDDIDeviceExtension>("RDDIDeviceExtension");
        pf::KeyedUnarchiver::registerClass<RDDIOSExtension>("RDDIOSExtension");
        pf::KeyedUnarchiver::registerClass<RDDIAppExtension>("RDDIAppExtension");
        pf::KeyedUnarchiver::registerClass<RDDINetExtension>("RDDINetExtension");
        pf::KeyedUnarchiver::registerClass<RDDISDKExtension>("RDDISDKExtension");
        pf::KeyedUnarchiver::registerClass<RDDILocExtension>("RDDILocExtension");
    });
}

}  // namespace rddi
