#include "telemetry/crashes/rddi_error_logs.hpp"

#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes_coding.hpp"
#include "telemetry/crashes/rddi_error_attachment_log.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"

#include <cctype>
#include <mutex>

namespace rddi {

namespace pf = platform::foundation;

namespace {

pf::Error corrupt(const std::string& why) { return pf::Error(pf::FoundationErrorCode::coderReadCorrupt, why); }

std::optional<std::map<std::string, std::string>> decodeRegisters(const pf::KeyedUnarchiver& u) {
    if (!u.containsValue("registers")) return std::nullopt;
    const pf::Value stored = u.decode("registers");
    const auto* entries = stored.asDictionary();
    if (!entries) throw corrupt("The stored registers are not a dictionary.");
    std::map<std::string, std::string> registers;
    for (const auto& [name, value] : *entries) {
        const auto* text = value.asString();
        if (!text) throw corrupt("A stored register value is not text.");
        registers.emplace(name, *text);
    }
    return registers;
}

pf::Value registersValue(const std::map<std::string, std::string>& registers) {
    pf::Dictionary d;
    for (const auto& [name, value] : registers) d.insert_or_assign(name, pf::Value(value));
    return pf::Value(std::move(d));
}

}  // namespace

// --- Abstract error log ------------------------------------------------------------

RDDIAbstractErrorLog::RDDIAbstractErrorLog(const pf::KeyedUnarchiver& u)
    : RDDILogWithProperties(u),
      errorId(RDDIDecodeOptionalString(u, "id")),
      processId(RDDIDecodeOptionalInteger(u, "processId")),
      processName(RDDIDecodeOptionalString(u, "processName")),
      parentProcessId(RDDIDecodeOptionalInteger(u, "parentProcessId")),
      parentProcessName(RDDIDecodeOptionalString(u, "parentProcessName")),
      errorThreadId(RDDIDecodeOptionalInteger(u, "errorThreadId")),
      errorThreadName(RDDIDecodeOptionalString(u, "errorThreadName")),
      fatal(u.decodeBool("fatal")),
      appLaunchTimestamp(RDDIDecodeOptionalDate(u, "appLaunchTimestamp")),
      architecture(RDDIDecodeOptionalString(u, "architecture")) {}

void RDDIAbstractErrorLog::encode(pf::KeyedArchiver& a) const {
    RDDILogWithProperties::encode(a);
    coding::put(a, "id", errorId);
    coding::put(a, "processId", processId);
    coding::put(a, "processName", processName);
    coding::put(a, "parentProcessId", parentProcessId);
    coding::put(a, "parentProcessName", parentProcessName);
    coding::put(a, "errorThreadId", errorThreadId);
    coding::put(a, "errorThreadName", errorThreadName);
    a.encodeBool("fatal", fatal);
    if (appLaunchTimestamp) RDDIEncodeDate(a, "appLaunchTimestamp", *appLaunchTimestamp);
    coding::put(a, "architecture", architecture);
}

pf::Dictionary RDDIAbstractErrorLog::serializeToDictionary() const {
    auto d = RDDILogWithProperties::serializeToDictionary();
    coding::put(d, "id", errorId);
    coding::put(d, "processId", processId);
    coding::put(d, "processName", processName);
    coding::put(d, "parentProcessId", parentProcessId);
    coding::put(d, "parentProcessName", parentProcessName);
    coding::put(d, "errorThreadId", errorThreadId);
    coding::put(d, "errorThreadName", errorThreadName);
    d["fatal"] = fatal;
    if (appLaunchTimestamp) d["appLaunchTimestamp"] = RDDIUtility::dateToISO8601(*appLaunchTimestamp);
    coding::put(d, "architecture", architecture);
    return d;
}

bool RDDIAbstractErrorLog::isValid() const {
    if (!RDDILogWithProperties::isValid()) return false;
    if (!errorId) return invalidField("errorId");
    if (!processId) return invalidField("processId");
    if (!processName) return invalidField("processName");
    return true;
}

bool RDDIAbstractErrorLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIAbstractErrorLog*>(&other);
    return o && RDDILogWithProperties::isEqual(other) && errorId == o->errorId && processId == o->processId &&
           processName == o->processName && parentProcessId == o->parentProcessId &&
           parentProcessName == o->parentProcessName && errorThreadId == o->errorThreadId &&
           errorThreadName == o->errorThreadName && fatal == o->fatal &&
           appLaunchTimestamp == o->appLaunchTimestamp && architecture == o->architecture;
}

// --- Apple error log ---------------------------------------------------------------

RDDIAppleErrorLog::RDDIAppleErrorLog(const pf::KeyedUnarchiver& u)
    : RDDIAbstractErrorLog(u),
      primaryArchitectureId(RDDIDecodeOptionalInteger(u, "primaryArchitectureId")),
      architectureVariantId(RDDIDecodeOptionalInteger(u, "architectureVariantId")),
      applicationPath(RDDIDecodeOptionalString(u, "applicationPath")),
      osExceptionType(RDDIDecodeOptionalString(u, "osExceptionType")),
      osExceptionCode(RDDIDecodeOptionalString(u, "osExceptionCode")),
      osExceptionAddress(RDDIDecodeOptionalString(u, "osExceptionAddress")),
      exceptionType(RDDIDecodeOptionalString(u, "exceptionType")),
      exceptionReason(RDDIDecodeOptionalString(u, "exceptionReason")),
      selectorRegisterValue(RDDIDecodeOptionalString(u, "selectorRegisterValue")),
      threads(coding::optionalObjects<RDDIThread>(u, "threads")),
      binaries(coding::optionalObjects<RDDIBinary>(u, "binaries")),
      registers(decodeRegisters(u)),
      exception(u.decodeObject<RDDIExceptionModel>("exception")) {}

void RDDIAppleErrorLog::encode(pf::KeyedArchiver& a) const {
    RDDIAbstractErrorLog::encode(a);
    coding::put(a, "primaryArchitectureId", primaryArchitectureId);
    coding::put(a, "architectureVariantId", architectureVariantId);
    coding::put(a, "applicationPath", applicationPath);
    coding::put(a, "osExceptionType", osExceptionType);
    coding::put(a, "osExceptionCode", osExceptionCode);
    coding::put(a, "osExceptionAddress", osExceptionAddress);
    coding::put(a, "exceptionType", exceptionType);
    coding::put(a, "exceptionReason", exceptionReason);
    coding::put(a, "selectorRegisterValue", selectorRegisterValue);
    coding::putObjects(a, "threads", threads);
    coding::putObjects(a, "binaries", binaries);
    if (registers) a.encode("registers", registersValue(*registers));
    a.encodeObject("exception", exception.get());
}

pf::Dictionary RDDIAppleErrorLog::serializeToDictionary() const {
    auto d = RDDIAbstractErrorLog::serializeToDictionary();
    coding::put(d, "primaryArchitectureId", primaryArchitectureId);
    coding::put(d, "architectureVariantId", architectureVariantId);
    coding::put(d, "applicationPath", applicationPath);
    coding::put(d, "osExceptionType", osExceptionType);
    coding::put(d, "osExceptionCode", osExceptionCode);
    coding::put(d, "osExceptionAddress", osExceptionAddress);
    coding::put(d, "exceptionType", exceptionType);
    coding::put(d, "exceptionReason", exceptionReason);
    coding::put(d, "selectorRegisterValue", selectorRegisterValue);
    coding::putObjects(d, "threads", threads);
    coding::putObjects(d, "binaries", binaries);
    if (registers) d["registers"] = registersValue(*registers);
    if (exception) d["exception"] = exception->serializeToDictionary();
    return d;
}

bool RDDIAppleErrorLog::isValid() const {
    if (!RDDIAbstractErrorLog::isValid()) return false;
    if (!primaryArchitectureId) return invalidField("primaryArchitectureId");
    if (!applicationPath) return invalidField("applicationPath");
    if (!osExceptionType) return invalidField("osExceptionType");
    if (!osExceptionCode) return invalidField("osExceptionCode");
    if (!osExceptionAddress) return invalidField("osExceptionAddress");
    return true;
}

bool RDDIAppleErrorLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIAppleErrorLog*>(&other);
    return o && RDDIAbstractErrorLog::isEqual(other) && primaryArchitectureId == o->primaryArchitectureId &&
           architectureVariantId == o->architectureVariantId && applicationPath == o->applicationPath &&
           osExceptionType == o->osExceptionType && osExceptionCode == o->osExceptionCode &&
           osExceptionAddress == o->osExceptionAddress && exceptionType == o->exceptionType &&
           exceptionReason == o->exceptionReason && selectorRegisterValue == o->selectorRegisterValue &&
           RDDIModelsEqual(threads, o->threads) && RDDIModelsEqual(binaries, o->binaries) &&
           registers == o->registers && RDDIModelEqual(exception, o->exception);
}

// --- Handled error log ------------------------------------------------------------

RDDIHandledErrorLog::RDDIHandledErrorLog(const pf::KeyedUnarchiver& u)
    : RDDILogWithProperties(u),
      errorId(RDDIDecodeOptionalString(u, "id")),
      exception(u.decodeObject<RDDIExceptionModel>("exception")) {}

void RDDIHandledErrorLog::encode(pf::KeyedArchiver& a) const {
    RDDILogWithProperties::encode(a);
    coding::put(a, "id", errorId);
    a.encodeObject("exception", exception.get());
}

pf::Dictionary RDDIHandledErrorLog::serializeToDictionary() const {
    auto d = RDDILogWithProperties::serializeToDictionary();
    coding::put(d, "id", errorId);
    if (exception) d["exception"] = exception->serializeToDictionary();
    return d;
}

bool RDDIHandledErrorLog::isValid() const {
    if (!RDDILogWithProperties::isValid()) return false;
    if (!errorId) return invalidField("errorId");
    if (!exception) return invalidField("exception");
    return true;
}

bool RDDIHandledErrorLog::isEqual(const RDDIAbstractLog& other) const {
    const auto* o = dynamic_cast<const RDDIHandledErrorLog*>(&other);
    return o && RDDILogWithProperties::isEqual(other) && errorId == o->errorId &&
           RDDIModelEqual(exception, o->exception);
}

// --- Error report -------------------------------------------------------------------

RDDIErrorReport::RDDIErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                                 std::optional<std::string> signal, std::optional<std::string> exceptionName,
                                 std::optional<std::string> exceptionReason, std::optional<pf::Date> appStartTime,
                                 std::optional<pf::Date> appErrorTime, std::shared_ptr<RDDIDevice> device,
                                 std::uint64_t appProcessIdentifier)
    : signal(std::move(signal)),
      incidentIdentifier_(std::move(errorId)),
      reporterKey_(std::move(reporterKey)),
      exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)),
      appStartTime_(appStartTime),
      appErrorTime_(appErrorTime),
      device_(std::move(device)),
      appProcessIdentifier_(appProcessIdentifier) {}

bool RDDIErrorReport::isAppKill() const {
    if (!signal) return false;
    std::string upper = *signal;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "SIGKILL";
}

// --- Archive registration -------------------------------------------------------------

const std::map<std::string, std::string> kRDDICrashesMigrationClasses = {
    {"RDAppleErrorLog", "RDDIAppleErrorLog"},
    {"RDThread", "RDDIThread"},
    {"RDWrapperException", "RDDIWrapperException"},
    {"RDAbstractErrorLog", "RDDIAbstractErrorLog"},
    {"RDHandledErrorLog", "RDDIHandledErrorLog"},
    {"RDException", "RDDIWrapperExceptionModel"},
    {"RDDIException", "RDDIWrapperExceptionModel"},
    {"RDStackFrame", "RDDIStackFrame"},
    {"RDBinary", "RDDIBinary"},
    {"RDErrorAttachmentLog", "RDDIErrorAttachmentLog"},
    {"RDErrorReport", "RDDIErrorReport"},
};

void RDDIRegisterCrashesArchiveClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        RDDIRegisterCoreArchiveClasses();
        pf::KeyedUnarchiver::registerClass<RDDIAbstractErrorLog>("RDDIAbstractErrorLog");
        pf::KeyedUnarchiver::registerClass<RDDIAppleErrorLog>("RDDIAppleErrorLog");
        pf::KeyedUnarchiver::registerClass<RDDIHandledErrorLog>("RDDIHandledErrorLog");
        pf::KeyedUnarchiver::registerClass<RDDIThread>("RDDIThread");
        pf::KeyedUnarchiver::registerClass<RDDIBinary>("RDDIBinary");
        pf::KeyedUnarchiver::registerClass<RDDIStackFrame>("RDDIStackFrame");
        pf::KeyedUnarchiver::registerClass<RDDIExceptionModel>("RDDIExceptionModel");
        pf::KeyedUnarchiver::registerClass<RDDIWrapperExceptionModel>("RDDIWrapperExceptionModel");
        pf::KeyedUnarchiver::registerClass<RDDIWrapperException>("RDDIWrapperException");
        pf::KeyedUnarchiver::registerClass<RDDIErrorAttachmentLog>("RDDIErrorAttachmentLog");
        RDDIUtility::addMigrationClasses(kRDDICrashesMigrationClasses);
    });
}

}  // namespace rddi
