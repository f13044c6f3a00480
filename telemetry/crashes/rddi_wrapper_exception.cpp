#include "telemetry/crashes/rddi_wrapper_exception.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes_files.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"

#include <fcntl.h>

#include <map>
#include <mutex>

namespace rddi {

namespace pf = platform::foundation;

RDDIWrapperException::RDDIWrapperException(const pf::KeyedUnarchiver& u)
    : modelException(u.decodeObject<RDDIExceptionModel>("modelException")) {
    if (u.containsValue("exceptionData")) {
        const pf::Value stored = u.decode("exceptionData");
        const pf::Data* bytes = stored.asData();
        if (!bytes) throw pf::Error(pf::FoundationErrorCode::coderReadCorrupt, "The stored exception data are not data.");
        exceptionData = *bytes;
    }
    if (u.containsValue("processId")) processId = u.decodeInteger("processId");
}

void RDDIWrapperException::encode(pf::KeyedArchiver& a) const {
    a.encodeObject("modelException", modelException.get());
    if (exceptionData) a.encode("exceptionData", pf::Value(*exceptionData));
    if (processId) a.encodeInteger("processId", *processId);
}

pf::Dictionary RDDIWrapperException::serializeToDictionary() const {
    pf::Dictionary d;
    if (modelException) d["modelException"] = modelException->serializeToDictionary();
    if (processId) d["processId"] = pf::Value(*processId);
    if (exceptionData) d["exceptionData"] = pf::Value(*exceptionData);
    return d;
}

namespace {

std::mutex gCacheMutex;
std::map<std::string, std::shared_ptr<RDDIWrapperException>>& cache() {
    static auto* matched = new std::map<std::string, std::shared_ptr<RDDIWrapperException>>();
    return *matched;
}

std::string componentFor(const std::string& baseFilename) {
    return RDDICrashesUtil::wrapperExceptionsDir() + "/" + baseFilename;
}

}  // namespace

void RDDIWrapperExceptionManager::saveWrapperException(const RDDIWrapperException& exception) {
    saveWrapperException(exception, kRDDILastWrapperExceptionFileName);
}

void RDDIWrapperExceptionManager::saveWrapperException(const RDDIWrapperException& exception,
                                                       const std::string& baseFilename) {
    auto data = RDDIUtility::archiveKeyedData(&exception);
    // Saved only as large as it can be read back.
    if (data && data->size() > kRDDIMaxReadBackFileSize) {
        RDDILogError(kRDDICrashesLogTag, "The wrapper exception is larger than {} bytes; it is not saved.",
                     kRDDIMaxReadBackFileSize);
        return;
    }
    RDDIUtility::createFileAtPathComponent(componentFor(baseFilename), data, true, true);
}

std::shared_ptr<RDDIWrapperException> RDDIWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
    const std::string component = componentFor(baseFilename);
    const auto url = RDDIUtility::fullURLForPathComponent(component);
    // Only a file is a saved exception: a link is not followed, wherever it leads.
    if (!url || !RDDICrashesFiles::setAsideUnlessOwnFile(*url, "a saved wrapper exception")) return nullptr;
    const auto fd = RDDICrashesFiles::openRegular(*url, O_RDONLY);
    if (!fd) return nullptr;
    RDDIRegisterCrashesArchiveClasses();
    auto exception = RDDIUtility::unarchiveKeyedData<RDDIWrapperException>(
        RDDICrashesFiles::readAll(fd.get(), kRDDIMaxReadBackFileSize));
    if (!exception) {
        RDDILogError(kRDDICrashesLogTag, "Could not read exception data stored on disk with file name {}",
                     baseFilename);
        RDDIUtility::deleteItemForPathComponent(component);
    }
    return exception;
}

void RDDIWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
    RDDIUtility::deleteItemForPathComponent(componentFor(baseFilename));
}

std::shared_ptr<RDDIWrapperException> RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string& uuid) {
    {
        std::lock_guard lock(gCacheMutex);
        auto found = cache().find(uuid);
        if (found != cache().end()) return found->second;
    }
    return loadWrapperExceptionWithBaseFilename(uuid);
}

void RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& uuid) {
    deleteWrapperExceptionWithBaseFilename(uuid);
}

void RDDIWrapperExceptionManager::deleteAllWrapperExceptions() {
    RDDIUtility::deleteItemForPathComponent(RDDICrashesUtil::wrapperExceptionsDir());
}

void RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<RDDIErrorReport>>& reports) {
    auto exception = loadWrapperExceptionWithBaseFilename(kRDDILastWrapperExceptionFileName);
    if (!exception) return;
    deleteWrapperExceptionWithBaseFilename(kRDDILastWrapperExceptionFileName);
    if (!exception->processId) return;
    const auto processId = static_cast<std::uint64_t>(*exception->processId);
    for (const auto& report : reports) {
        if (!report || report->appProcessIdentifier() != processId) continue;
        const auto& incident = report->incidentIdentifier();
        if (!incident) return;
        {
            std::lock_guard lock(gCacheMutex);
            cache()[*incident] = exception;
        }
        saveWrapperException(*exception, *incident);
        return;
    }
}

void RDDIWrapperExceptionManager::resetForTesting() {
    std::lock_guard lock(gCacheMutex);
    cache().clear();
}

}  // namespace rddi
