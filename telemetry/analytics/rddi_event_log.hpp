#pragma once
// The records of the analytics service: named logs with string properties (events and
// pages), and the bag of typed properties that events carry.
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_typed_property.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

// Typed properties by key; every access holds the bag's lock. Archived as the dictionary
// of typed property objects itself: each property under its key.
class RDDIEventProperties : public platform::foundation::Archivable {
public:
    RDDIEventProperties() = default;
    explicit RDDIEventProperties(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIEventProperties"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // One string property per entry.
    explicit RDDIEventProperties(const RDDIStringProperties& properties);
    RDDIEventProperties(const RDDIEventProperties& other);
    RDDIEventProperties& operator=(const RDDIEventProperties&) = delete;

    // Each setter answers the bag; a refused key or value leaves it unchanged.
    RDDIEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    RDDIEventProperties& setDouble(double value, const std::optional<std::string>& key);
    RDDIEventProperties& setInt64(std::int64_t value, const std::optional<std::string>& key);
    RDDIEventProperties& setBool(bool value, const std::optional<std::string>& key);
    RDDIEventProperties& setDate(const std::optional<platform::foundation::Date>& value,
                                 const std::optional<std::string>& key);

    // Stores the property under `key`, replacing what was there.
    void setProperty(const std::string& key, std::shared_ptr<RDDITypedProperty> property);
    void removeProperty(const std::string& key);

    std::map<std::string, std::shared_ptr<RDDITypedProperty>> properties() const;
    platform::foundation::Array serializeToArray() const;
    bool isEmpty() const;
    std::size_t count() const;
    void mergeEventProperties(const RDDIEventProperties& other);
    bool isEqual(const RDDIEventProperties& other) const;

    static bool validateKey(const std::optional<std::string>& key);

private:
    mutable std::mutex lock_;
    std::map<std::string, std::shared_ptr<RDDITypedProperty>> properties_;
};

class RDDILogWithNameAndProperties : public RDDILogWithProperties {
public:
    RDDILogWithNameAndProperties() = default;
    explicit RDDILogWithNameAndProperties(const platform::foundation::KeyedUnarchiver& unarchiver);
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::string className() const override { return "RDDILogWithNameAndProperties"; }
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::string> name;
};

class RDDIEventLog final : public RDDILogWithNameAndProperties {
public:
    RDDIEventLog();
    explicit RDDIEventLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::string className() const override { return "RDDIEventLog"; }
    // Adds "id" and "typedProperties" (an array) when set.
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    // The base conversion, then the event's name, its typed properties as the data part
    // (dotted names become nested objects) with their type ids as metadata, and its tag.
    std::shared_ptr<RDDICommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                         std::uint64_t flags) const override;
    // Without typed properties nothing is added. Removes misused "baseType"/"baseData"
    // entries from this event's own bag.
    void setPropertiesAndMetadataForCSLog(RDDICommonSchemaLog& csLog) const;

    std::optional<std::string> eventId;
    std::shared_ptr<RDDIEventProperties> typedProperties;
    // Common Schema type ids of the typed property kinds that have one.
    const std::map<std::string, int> metadataTypeIdMapping{{"long", 4}, {"double", 6}, {"dateTime", 9}};
};

class RDDIPageLog final : public RDDILogWithNameAndProperties {
public:
    RDDIPageLog() { type = "page"; }
    explicit RDDIPageLog(const platform::foundation::KeyedUnarchiver& unarchiver)
        : RDDILogWithNameAndProperties(unarchiver) {}
    std::string className() const override { return "RDDIPageLog"; }
    bool isEqual(const RDDIAbstractLog& other) const override;
};

// The start of a session; it carries its own session id, so none is assigned to it.
class RDDIStartSessionLog final : public RDDIAbstractLog, public RDDINoAutoAssignSessionIdLog {
public:
    RDDIStartSessionLog() { type = "startSession"; }
    explicit RDDIStartSessionLog(const platform::foundation::KeyedUnarchiver& unarchiver) : RDDIAbstractLog(unarchiver) {}
    std::string className() const override { return "RDDIStartSessionLog"; }
    bool isEqual(const RDDIAbstractLog& other) const override {
        return dynamic_cast<const RDDIStartSessionLog*>(&other) && RDDIAbstractLog::isEqual(other);
    }
};

// Makes the analytics records, under their names and the names earlier versions used,
// decodable; once per process.
void RDDIRegisterAnalyticsArchiveClasses();

}  // namespace rddi
