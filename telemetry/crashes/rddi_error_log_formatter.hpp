#pragma once
// Turns the crash report of an earlier run into the error log sent to the ingestion and
// the error report the host's delegate sees. This decides what leaves the machine:
// application frames go out as "0x<image base> + <offset>" (symbolicated later, from the
// binaries sent along), system frames by symbol; system libraries go along only when a
// frame or register points into them; user names are taken out of paths.
//
// Image kinds on Linux: 0 the process's executable, 1 an image below the application's
// install folder (the executable's folder, or its parent when that is "bin"), 2 the rest.
#include "crashreporter/report.hpp"
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

inline constexpr std::uint64_t kRDDICPUTypeX86 = 7;
inline constexpr std::uint64_t kRDDICPUTypeARM = 12;
inline constexpr std::uint64_t kRDDICPUTypeX86_64 = 0x01000007;
inline constexpr std::uint64_t kRDDICPUTypeARM64 = 0x0100000C;
inline constexpr const char* kRDDIUnknownName = "???";

enum RDDIBinaryImageType { RDDIBinaryImageTypeProcess = 0, RDDIBinaryImageTypeApplication = 1, RDDIBinaryImageTypeOther = 2 };

class RDDIErrorLogFormatter {
public:
    using Report = lvcrash::CrashReport;

    RDDIErrorLogFormatter() = delete;

    static std::shared_ptr<RDDIAppleErrorLog> errorLogFromCrashReport(const Report& report);
    static std::shared_ptr<RDDIErrorReport> errorReportFromCrashReport(const std::shared_ptr<const Report>& report);
    static std::shared_ptr<RDDIErrorReport> errorReportFromLog(const RDDIAppleErrorLog& log);

    // The report's UUID text, or a fresh random one when the report has none.
    static std::string errorIdForCrashReport(const Report& report);
    static void addProcessInfoAndApplicationPathTo(RDDIAppleErrorLog& log, const Report& report);
    static std::optional<platform::foundation::Date> getAppLaunchTimeFromReport(const Report& report);
    static platform::foundation::Date getCrashTimeFromReport(const Report& report);
    static const lvcrash::CrashReportThreadInfo* findCrashedThreadInReport(const Report& report);
    static bool isCodeType64bit(std::uint64_t cpuType);
    static std::string formatAddress(std::uint64_t address, bool is64bit);
    static std::vector<std::shared_ptr<RDDIThread>> extractThreadsFromReport(
        const Report& report, const lvcrash::CrashReportThreadInfo* crashedThread, bool is64bit);
    static std::string formatStackFrame(const lvcrash::CrashReportStackFrameInfo& frame, const Report& report);
    static std::map<std::string, std::string> extractRegistersFromCrashedThread(
        const lvcrash::CrashReportThreadInfo* thread, bool is64bit);
    static std::optional<std::string> extractExceptionReasonFromReport(const Report& report);
    static std::optional<std::string> selectorRegisterValueFromReport(const Report& report,
                                                                      const lvcrash::CrashReportThreadInfo* crashedThread,
                                                                      std::uint64_t cpuType);
    // Read from the same image loaded in this process (Mach-O images of the loader only).
    static std::optional<std::string> selectorForRegisterWithName(const std::string& name,
                                                                  const lvcrash::CrashReportThreadInfo& thread,
                                                                  const Report& report);
    static std::vector<std::shared_ptr<RDDIBinary>> extractBinaryImagesFromReport(const Report& report, bool is64bit);
    static std::vector<std::uint64_t> addressesFromReport(const Report& report);
    static bool isBinaryWithStart(std::uint64_t start, std::uint64_t end, const std::vector<std::uint64_t>& addresses);
    static int imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                     const std::optional<std::string>& processPath);
    // "/home/<name>/…" and paths below $HOME become "/home/USER/…"; "/Users/<name>/…"
    // becomes "/Users/USER/…"; any other path holding "Users" becomes empty.
    static std::string anonymizedPathFromPath(const std::string& path);
    static std::shared_ptr<RDDIDevice> deviceForTimestamp(const platform::foundation::Date& timestamp,
                                                          const Report& report);
    static std::optional<std::string> uuidRefToString(const std::optional<std::array<std::uint8_t, 16>>& uuid);
};

}  // namespace rddi
