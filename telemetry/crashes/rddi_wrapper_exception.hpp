#pragma once
// Exceptions that a wrapper SDK (a managed runtime hosted on this SDK) saves just before
// its process dies. At the next launch the saved exception is matched to the crash report
// of the same process and filed under the report's incident identifier, where the crash
// log formatter finds it.
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"
#include "telemetry/crashes/rddi_crashes_models.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIErrorReport;

class RDDIWrapperException : public platform::foundation::Archivable {
public:
    RDDIWrapperException() = default;
    explicit RDDIWrapperException(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIWrapperException"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    // "modelException", "processId", "exceptionData": the set fields only. Never sent.
    platform::foundation::Dictionary serializeToDictionary() const;

    std::shared_ptr<RDDIExceptionModel> modelException;
    std::optional<platform::foundation::Data> exceptionData;
    std::optional<std::int64_t> processId;
};

// File names: "last_saved_wrapper_exception", or a report's incident identifier.
inline constexpr const char* kRDDILastWrapperExceptionFileName = "last_saved_wrapper_exception";

class RDDIWrapperExceptionManager {
public:
    RDDIWrapperExceptionManager() = delete;

    static void saveWrapperException(const RDDIWrapperException& exception);
    static void saveWrapperException(const RDDIWrapperException& exception, const std::string& baseFilename);
    // Nothing when there is no such file; a file that does not decode is logged and deleted.
    static std::shared_ptr<RDDIWrapperException> loadWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    // From the matched exceptions of this process first, else from the file.
    static std::shared_ptr<RDDIWrapperException> loadWrapperExceptionWithUUIDString(const std::string& uuid);
    // Deletes the file only; a matched exception stays at hand for this process.
    static void deleteWrapperExceptionWithUUIDString(const std::string& uuid);
    static void deleteAllWrapperExceptions();
    // Files the last saved exception under the first report of the same process; the
    // saved file is gone afterwards, matched or not.
    static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<RDDIErrorReport>>& reports);

    // Forgets the matched exceptions. Tests only.
    static void resetForTesting();
};

}  // namespace rddi
