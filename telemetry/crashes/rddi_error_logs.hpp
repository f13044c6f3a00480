#pragma once
// The crash service's logs: the crash log of an earlier run ("appleError"), the log of an
// error the host caught itself ("handledError"), and the read-only summary of one error
// that the host's delegate is shown.
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/crashes/rddi_crashes_models.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

// The fields every crash-type error log shares.
class RDDIAbstractErrorLog : public RDDILogWithProperties {
public:
    RDDIAbstractErrorLog() = default;
    explicit RDDIAbstractErrorLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string className() const override { return "RDDIAbstractErrorLog"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // "fatal" is always written.
    platform::foundation::Dictionary serializeToDictionary() const override;
    // The base log's test, then errorId, processId and processName.
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::string> errorId;
    std::optional<std::int64_t> processId;
    std::optional<std::string> processName;
    std::optional<std::int64_t> parentProcessId;
    std::optional<std::string> parentProcessName;
    std::optional<std::int64_t> errorThreadId;
    std::optional<std::string> errorThreadName;
    bool fatal = false;
    bool isFatal() const { return fatal; }
    std::optional<platform::foundation::Date> appLaunchTimestamp;
    std::optional<std::string> architecture;
};

// A crash of an earlier run; it belongs to an earlier session, so it never receives the
// current session id.
class RDDIAppleErrorLog final : public RDDIAbstractErrorLog, public RDDINoAutoAssignSessionIdLog {
public:
    RDDIAppleErrorLog() { type = "appleError"; }
    explicit RDDIAppleErrorLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string className() const override { return "RDDIAppleErrorLog"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    // The abstract error log's test, then the architecture, path and the OS exception's
    // type, code and address; threads, binaries, registers and the exception are not tested.
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::int64_t> primaryArchitectureId;
    std::optional<std::int64_t> architectureVariantId;
    std::optional<std::string> applicationPath;
    std::optional<std::string> osExceptionType;
    std::optional<std::string> osExceptionCode;
    std::optional<std::string> osExceptionAddress;
    std::optional<std::string> exceptionType;
    std::optional<std::string> exceptionReason;
    std::optional<std::string> selectorRegisterValue;
    std::optional<std::vector<std::shared_ptr<RDDIThread>>> threads;
    std::optional<std::vector<std::shared_ptr<RDDIBinary>>> binaries;
    std::optional<std::map<std::string, std::string>> registers;
    std::shared_ptr<RDDIExceptionModel> exception;
};

class RDDIHandledErrorLog final : public RDDILogWithProperties {
public:
    RDDIHandledErrorLog() { type = "handledError"; }
    explicit RDDIHandledErrorLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string className() const override { return "RDDIHandledErrorLog"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    // The base log's test, then errorId and exception (whose own validity is not tested).
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<std::string> errorId;
    std::shared_ptr<RDDIExceptionModel> exception;
};

// The summary of one error handed to the host; not archived.
class RDDIErrorReport {
public:
    RDDIErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                    std::optional<std::string> signal, std::optional<std::string> exceptionName,
                    std::optional<std::string> exceptionReason, std::optional<platform::foundation::Date> appStartTime,
                    std::optional<platform::foundation::Date> appErrorTime, std::shared_ptr<RDDIDevice> device,
                    std::uint64_t appProcessIdentifier);

    const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
    const std::optional<std::string>& reporterKey() const { return reporterKey_; }
    const std::optional<std::string>& exceptionName() const { return exceptionName_; }
    const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
    const std::optional<platform::foundation::Date>& appStartTime() const { return appStartTime_; }
    const std::optional<platform::foundation::Date>& appErrorTime() const { return appErrorTime_; }
    const std::shared_ptr<RDDIDevice>& device() const { return device_; }
    std::uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }
    // A signal whose upper-case form is "SIGKILL".
    bool isAppKill() const;

    std::optional<std::string> signal;

private:
    std::optional<std::string> incidentIdentifier_;
    std::optional<std::string> reporterKey_;
    std::optional<std::string> exceptionName_;
    std::optional<std::string> exceptionReason_;
    std::optional<platform::foundation::Date> appStartTime_;
    std::optional<platform::foundation::Date> appErrorTime_;
    std::shared_ptr<RDDIDevice> device_;
    std::uint64_t appProcessIdentifier_;
};

// Archived class names of earlier versions and the classes that now decode them.
extern const std::map<std::string, std::string> kRDDICrashesMigrationClasses;

// Makes the crash service's models and logs decodable, under their names and the old
// ones; once per process.
void RDDIRegisterCrashesArchiveClasses();

}  // namespace rddi
