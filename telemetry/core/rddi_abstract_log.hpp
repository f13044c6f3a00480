#pragma once
// The base of every telemetry record: type, time, session, user, and the target tokens
// of the transmission path. Logs serialise to dictionaries keyed by their field names,
// leaving out unset fields.
#include "platform/foundation/date.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"
#include "telemetry/core/rddi_device.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rddi {

// Dates in logs: UTC text "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'".
std::string RDDIDateToISO8601(platform::foundation::Date date);

class RDDICommonSchemaLog;

class RDDIAbstractLog : public platform::foundation::Archivable {
public:
    RDDIAbstractLog() = default;
    RDDIAbstractLog(const RDDIAbstractLog& other);
    // The six archived fields; a field of the wrong type: Error(coderReadCorrupt).
    explicit RDDIAbstractLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    RDDIAbstractLog& operator=(const RDDIAbstractLog&) = delete;
    virtual ~RDDIAbstractLog() = default;

    // The class name, for validity messages and type tests in tests.
    virtual std::string className() const { return "RDDIAbstractLog"; }
    std::string archiveClassName() const override { return className(); }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    virtual platform::foundation::Dictionary serializeToDictionary() const;
    // A missing field is logged at verbose level and answers false.
    virtual bool isValid() const;
    // Same class family, equal tags (by identity) and equal fields; target tokens are not compared.
    virtual bool isEqual(const RDDIAbstractLog& other) const;

    // JSON text of serializeToDictionary() ("/" unescaped; text that is not UTF-8 written
    // with U+FFFD); none when the dictionary still has no JSON form.
    virtual std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

    // One Common Schema log per target token; none without tokens.
    std::vector<std::shared_ptr<RDDICommonSchemaLog>> toCommonSchemaLogsWithFlags(std::uint64_t flags) const;
    // The header and extensions every log carries for one token; subclasses add name and data.
    virtual std::shared_ptr<RDDICommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                  std::uint64_t flags) const;
    // "Version 12.0.0 (Build 6.1.0)"; none when both are empty.
    static std::optional<std::string> combineOsVersion(const std::optional<std::string>& version,
                                                       const std::optional<std::string>& build);
    // "name-version" when both are present.
    static std::optional<std::string> combineSDKLibVer(const std::optional<std::string>& name,
                                                       const std::optional<std::string>& version);
    // Minutes east of UTC as "+05:30".
    static std::string convertTimeZoneOffsetToISO8601(std::int64_t minutes);

    std::set<std::string> transmissionTargetTokens() const;
    void addTransmissionTargetToken(const std::string& token);

    std::optional<std::string> type;
    std::optional<platform::foundation::Date> timestamp;
    std::optional<std::string> sid;
    std::optional<std::string> distributionGroupId;
    std::optional<std::string> userId;
    std::shared_ptr<RDDIDevice> device;
    // The caller's marker; neither serialised nor archived.
    std::shared_ptr<const void> tag;

protected:
    // Logs the "is not valid" message for `field` and answers false.
    bool invalidField(const std::string& field) const;

private:
    mutable std::mutex tokensLock_;
    std::set<std::string> transmissionTargetTokens_;
};

}  // namespace rddi
