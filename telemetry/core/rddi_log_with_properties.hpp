#pragma once
// Logs that carry a flat string map, and the log that reports which services started.
#include "telemetry/core/rddi_abstract_log.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

using RDDIStringProperties = std::map<std::string, std::string>;

class RDDILogWithProperties : public RDDIAbstractLog {
public:
    RDDILogWithProperties() = default;
    explicit RDDILogWithProperties(const platform::foundation::KeyedUnarchiver& unarchiver);
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::string className() const override { return "RDDILogWithProperties"; }
    // Adds "properties" when the map is set and not empty.
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<RDDIStringProperties> properties;
};

// Marks log classes that do not receive the current session id when enqueued.
class RDDINoAutoAssignSessionIdLog {
public:
    virtual ~RDDINoAutoAssignSessionIdLog() = default;
};

class RDDIStartServiceLog final : public RDDIAbstractLog, public RDDINoAutoAssignSessionIdLog {
public:
    RDDIStartServiceLog() { type = "startService"; }
    explicit RDDIStartServiceLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::string className() const override { return "RDDIStartServiceLog"; }
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::vector<std::string>> services;
};

}  // namespace rddi
