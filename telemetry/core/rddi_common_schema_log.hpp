#pragma once
// The Common Schema 3.0 form of a log, sent to transmission targets: header fields, a
// tree of optional extensions and a data part. Its JSON keeps a fixed key order
// ("ver", "name", "time", "iKey", "flags", "ext", "data"; in the data part "baseType",
// "baseData", then the rest as inserted), so it is written through order-keeping JSON.
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_abstract_log.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

using RDDIOrderedJson = nlohmann::ordered_json;

// What every Common Schema part offers besides keyed archiving.
class RDDICSPart : public platform::foundation::Archivable {
public:
    // None when the part has nothing to say (its key is then left out).
    virtual std::optional<RDDIOrderedJson> serializeToJson() const = 0;
    virtual bool isValid() const { return true; }
    virtual bool isEqual(const RDDICSPart& other) const = 0;
};

// An object of JSON values that keeps its key order; archived as its JSON text.
class RDDIMetadataExtension final : public RDDICSPart {
public:
    RDDIMetadataExtension() = default;
    explicit RDDIMetadataExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIMetadataExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // A copy of the metadata (possibly empty); none without it.
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<RDDIOrderedJson> metadata;
};

class RDDIProtocolExtension final : public RDDICSPart {
public:
    RDDIProtocolExtension() = default;
    explicit RDDIProtocolExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIProtocolExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::vector<std::string>> ticketKeys;
    std::optional<std::string> devMake;
    std::optional<std::string> devModel;
};

class RDDIUserExtension final : public RDDICSPart {
public:
    RDDIUserExtension() = default;
    explicit RDDIUserExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIUserExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> localId;
    std::optional<std::string> locale;
};

class RDDIDeviceExtension final : public RDDICSPart {
public:
    RDDIDeviceExtension() = default;
    explicit RDDIDeviceExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIDeviceExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> localId;
};

class RDDIOSExtension final : public RDDICSPart {
public:
    RDDIOSExtension() = default;
    explicit RDDIOSExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIOSExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> ver;
    std::optional<std::string> name;
};

class RDDIAppExtension final : public RDDICSPart {
public:
    RDDIAppExtension() = default;
    explicit RDDIAppExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIAppExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // The application id goes under "id".
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> appId;
    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<std::string> locale;
    std::optional<std::string> userId;
};

class RDDINetExtension final : public RDDICSPart {
public:
    RDDINetExtension() = default;
    explicit RDDINetExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDINetExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> provider;
};

class RDDISDKExtension final : public RDDICSPart {
public:
    RDDISDKExtension() = default;
    explicit RDDISDKExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDISDKExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // The install id as upper-case UUID text; "seq" only when not 0.
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> libVer;
    std::optional<std::string> epoch;
    std::optional<platform::foundation::UUID> installId;
    std::int64_t seq = 0;
};

class RDDILocExtension final : public RDDICSPart {
public:
    RDDILocExtension() = default;
    explicit RDDILocExtension(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDILocExtension"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<std::string> tz;
};

class RDDICSExtensions final : public RDDICSPart {
public:
    RDDICSExtensions() = default;
    explicit RDDICSExtensions(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDICSExtensions"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // Each present member's object under its key; an empty object when none has one.
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    // Every present member valid; the first invalid one is named.
    bool isValid() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::shared_ptr<RDDIMetadataExtension> metadataExt;
    std::shared_ptr<RDDIProtocolExtension> protocolExt;
    std::shared_ptr<RDDIUserExtension> userExt;
    std::shared_ptr<RDDIDeviceExtension> deviceExt;
    std::shared_ptr<RDDIOSExtension> osExt;
    std::shared_ptr<RDDIAppExtension> appExt;
    std::shared_ptr<RDDINetExtension> netExt;
    std::shared_ptr<RDDISDKExtension> sdkExt;
    std::shared_ptr<RDDILocExtension> locExt;
};

// The event's data part; archived as its JSON text.
class RDDICSData final : public RDDICSPart {
public:
    RDDICSData() = default;
    explicit RDDICSData(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDICSData"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // "baseType", then "baseData" (each when present), then the other properties in order.
    std::optional<RDDIOrderedJson> serializeToJson() const override;
    bool isEqual(const RDDICSPart& other) const override;

    std::optional<RDDIOrderedJson> properties;
};

// The epoch and the sequence number of the logs sent for one instrumentation key.
struct RDDICSEpochAndSeq {
    explicit RDDICSEpochAndSeq(std::string epoch) : epoch(std::move(epoch)) {}
    std::string epoch;
    std::uint64_t seq = 0;
};

class RDDICommonSchemaLog final : public RDDIAbstractLog {
public:
    static constexpr const char* kVersion = "3.0";

    RDDICommonSchemaLog() = default;
    explicit RDDICommonSchemaLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string className() const override { return "RDDICommonSchemaLog"; }
    // The base fields first, then the log's own (popSample and cV included).
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    // "ver", "name", "time", "iKey", "flags" (unless 0), "ext", "data", each when present.
    RDDIOrderedJson serializeToOrderedJson() const;
    platform::foundation::Dictionary serializeToDictionary() const override;
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const override;
    // Timestamp, ver and name present; the extensions are not tested.
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<double> popSample;
    std::optional<std::string> iKey;
    std::int64_t flags = 0;
    std::optional<std::string> cV;
    std::shared_ptr<RDDICSExtensions> ext;
    std::shared_ptr<RDDICSData> data;
};

// Makes the Common Schema classes decodable; once per process.
void RDDIRegisterCommonSchemaArchiveClasses();
// JSON text of an order-keeping value: "/" unescaped, text that is not UTF-8 as U+FFFD.
std::string RDDIDumpOrderedJson(const RDDIOrderedJson& json, bool prettyPrint);

}  // namespace rddi
