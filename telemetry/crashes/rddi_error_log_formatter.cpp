#include "telemetry/crashes/rddi_error_log_formatter.hpp"

#include "platform/darwin/dyld.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

namespace rddi {

namespace pf = platform::foundation;
using lvcrash::CrashReport;
using lvcrash::CrashReportStackFrameInfo;
using lvcrash::CrashReportThreadInfo;

namespace {

constexpr double kCrashTimeNudge = 0.999;
constexpr std::uint32_t kMachHeaderMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kMachHeaderMagic32 = 0xFEEDFACE;
constexpr std::uint32_t kLoadCommandUUID = 0x1B;

// The report's operating systems.
constexpr std::int32_t kOSMacOSX = 0, kOSiPhoneOS = 1, kOSiPhoneSimulator = 2, kOSUnknown = 3, kOSAppleTVOS = 4;

std::string standardized(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// The folder the application is installed in: the executable's folder, or its parent
// when the executable sits in a "bin" folder.
std::string installFolderOf(const std::string& processPath) {
    std::filesystem::path folder = std::filesystem::path(standardized(processPath)).parent_path();
    if (folder.filename() == "bin" && folder.has_parent_path()) folder = folder.parent_path();
    return folder.string();
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// The LC_UUID of a Mach-O header as lower-case hex, if it has one.
std::optional<std::string> machoUUID(const void* header) {
    std::uint32_t magic = 0;
    std::memcpy(&magic, header, sizeof magic);
    if (magic != kMachHeaderMagic64 && magic != kMachHeaderMagic32) return std::nullopt;
    const auto* base = static_cast<const std::uint8_t*>(header);
    std::uint32_t commandCount = 0;
    std::memcpy(&commandCount, base + 16, sizeof commandCount);
    const std::uint8_t* command = base + (magic == kMachHeaderMagic64 ? 32 : 28);
    for (std::uint32_t i = 0; i < commandCount; ++i) {
        std::uint32_t cmd = 0, size = 0;
        std::memcpy(&cmd, command, sizeof cmd);
        std::memcpy(&size, command + 4, sizeof size);
        if (cmd == kLoadCommandUUID) {
            std::string text;
            for (int b = 0; b < 16; ++b) text += fmt::format("{:02X}", command[8 + b]);
            std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
            return text;
        }
        if (size == 0) break;
        command += size;
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<RDDIAppleErrorLog> RDDIErrorLogFormatter::errorLogFromCrashReport(const CrashReport& report) {
    auto log = std::make_shared<RDDIAppleErrorLog>();
    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(*log, report);

    const CrashReportThreadInfo* crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);

    // A whole second gets 0.999 s more, as the crash happened somewhere within that
    // second; truncated in 64 bits, so times after January 2038 are treated alike.
    double crashTime = getCrashTimeFromReport(report).timeIntervalSince1970();
    if (crashTime - static_cast<double>(static_cast<std::int64_t>(crashTime)) == 0) crashTime += kCrashTimeNudge;
    const pf::Date timestamp = pf::Date::fromTimeIntervalSince1970(crashTime);
    log->timestamp = timestamp;

    std::uint64_t cpuType = 0, cpuSubtype = 0;
    if (report.machineInfo() && report.machineInfo()->processorInfo) {
        cpuType = report.machineInfo()->processorInfo->type;
        cpuSubtype = report.machineInfo()->processorInfo->subtype;
    }
    for (const auto& image : report.images()) {
        if (image.codeType && image.codeType->typeEncoding == lvcrash::kReportTypeEncodingMach) {
            cpuType = image.codeType->type;
            cpuSubtype = image.codeType->subtype;
            break;
        }
    }
    const bool is64bit = isCodeType64bit(cpuType);
    log->primaryArchitectureId = static_cast<std::int64_t>(cpuType);
    log->architectureVariantId = static_cast<std::int64_t>(cpuSubtype);

    log->osExceptionType = report.signalInfo().name;
    log->osExceptionCode = report.signalInfo().code;
    log->osExceptionAddress = fmt::format("0x{:x}", report.signalInfo().address);
    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.hasExceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName;
    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, cpuType);

    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, is64bit);
    log->device = deviceForTimestamp(timestamp, report);

    if (auto uuid = uuidRefToString(report.uuid())) {
        if (auto wrapper = RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*uuid))
            log->exception = wrapper->modelException;
    }
    return log;
}

std::shared_ptr<RDDIErrorReport> RDDIErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<const CrashReport>& report) {
    if (!report) return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<RDDIErrorReport> RDDIErrorLogFormatter::errorReportFromLog(const RDDIAppleErrorLog& log) {
    return std::make_shared<RDDIErrorReport>(log.errorId, RDDIDezIdedev::installId().uuidString(), log.osExceptionType,
                                             log.exceptionType, log.exceptionReason, log.appLaunchTimestamp,
                                             log.timestamp, log.device,
                                             static_cast<std::uint64_t>(log.processId.value_or(0)));
}

std::string RDDIErrorLogFormatter::errorIdForCrashReport(const CrashReport& report) {
    if (auto text = uuidRefToString(report.uuid())) return *text;
    return pf::UUID().uuidString();
}

void RDDIErrorLogFormatter::addProcessInfoAndApplicationPathTo(RDDIAppleErrorLog& log, const CrashReport& report) {
    log.processId = 0;
    log.processName = kRDDIUnknownName;
    log.parentProcessName = kRDDIUnknownName;
    log.parentProcessId = std::nullopt;
    log.applicationPath = kRDDIUnknownName;
    if (!report.hasProcessInfo()) return;
    const auto& info = *report.processInfo();
    log.processId = static_cast<std::int64_t>(info.processID);
    if (info.processName) log.processName = *info.processName;
    if (info.processPath) log.applicationPath = anonymizedPathFromPath(*info.processPath);
    if (info.parentProcessName) log.parentProcessName = *info.parentProcessName;
    log.parentProcessId = static_cast<std::int64_t>(info.parentProcessID);
}

std::optional<pf::Date> RDDIErrorLogFormatter::getAppLaunchTimeFromReport(const CrashReport& report) {
    if (report.hasProcessInfo()) {
        const auto& start = report.processInfo()->processStartTime;
        if (!start) return std::nullopt;
        return pf::Date::fromTimeIntervalSince1970(static_cast<double>(*start));
    }
    return getCrashTimeFromReport(report);
}

pf::Date RDDIErrorLogFormatter::getCrashTimeFromReport(const CrashReport& report) {
    return pf::Date::fromTimeIntervalSince1970(static_cast<double>(report.systemInfo().timestamp.value_or(0)));
}

const CrashReportThreadInfo* RDDIErrorLogFormatter::findCrashedThreadInReport(const CrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread.crashed) return &thread;
    return nullptr;
}

bool RDDIErrorLogFormatter::isCodeType64bit(std::uint64_t cpuType) {
    return cpuType == kRDDICPUTypeARM64 || cpuType == kRDDICPUTypeX86_64;
}

std::string RDDIErrorLogFormatter::formatAddress(std::uint64_t address, bool is64bit) {
    return is64bit ? fmt::format("0x{:016x}", address) : fmt::format("0x{:08x}", address);
}

std::vector<std::shared_ptr<RDDIThread>> RDDIErrorLogFormatter::extractThreadsFromReport(
    const CrashReport& report, const CrashReportThreadInfo* crashedThread, bool is64bit) {
    std::shared_ptr<RDDIExceptionModel> exception;
    if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames &&
        !report.exceptionInfo()->stackFrames->empty()) {
        const auto& info = *report.exceptionInfo();
        RDDIStackFrames frames;
        for (const auto& frame : *info.stackFrames) {
            auto model = std::make_shared<RDDIStackFrame>();
            model->address = formatAddress(frame.instructionPointer, is64bit);
            frames.push_back(std::move(model));
        }
        exception = std::make_shared<RDDIExceptionModel>();
        exception->message = info.exceptionReason;
        exception->frames = std::move(frames);
        // The reader gives an empty name for an exception that had none.
        exception->type = info.exceptionName.empty() ? report.signalInfo().name : info.exceptionName;
    }
    std::vector<std::shared_ptr<RDDIThread>> threads;
    for (const auto& thread : report.threads()) {
        auto model = std::make_shared<RDDIThread>();
        model->threadId = thread.threadNumber;
        if (exception && crashedThread && thread.threadNumber == crashedThread->threadNumber)
            model->exception = exception;
        for (const auto& frame : thread.stackFrames) {
            auto frameModel = std::make_shared<RDDIStackFrame>();
            frameModel->address = formatAddress(frame.instructionPointer, is64bit);
            frameModel->code = formatStackFrame(frame, report);
            model->frames.push_back(std::move(frameModel));
        }
        threads.push_back(std::move(model));
    }
    return threads;
}

std::string RDDIErrorLogFormatter::formatStackFrame(const CrashReportStackFrameInfo& frame, const CrashReport& report) {
    const auto* image = report.imageForAddress(frame.instructionPointer);
    std::uint64_t base = 0;
    std::int64_t offset = 0;
    if (image) {
        base = image->imageBaseAddress;
        offset = static_cast<std::int64_t>(frame.instructionPointer - base);
    } else if (frame.instructionPointer != 0) {
        RDDILogWarning(kRDDICrashesLogTag, "Cannot find image for 0x{:x}", frame.instructionPointer);
    }
    std::optional<std::string> processPath;
    if (report.hasProcessInfo()) processPath = report.processInfo()->processPath;
    std::optional<std::string> imagePath;
    if (image) imagePath = image->imageName;
    const int kind = imageTypeForImagePath(imagePath, processPath);

    if (kind == RDDIBinaryImageTypeOther && frame.symbolInfo) {
        std::string name = frame.symbolInfo->symbolName;
        if (name.size() >= 2 && name[0] == '_') {
            switch (report.systemInfo().operatingSystem) {
                case kOSMacOSX:
                case kOSiPhoneOS:
                case kOSiPhoneSimulator:
                case kOSAppleTVOS:
                    name.erase(0, 1);
                    break;
                case kOSUnknown:
                    RDDILogWarning(kRDDICrashesLogTag, "Symbol \"{}\" prefix rules are unknown for this OS!", name);
                    break;
                default:
                    break;
            }
        }
        return fmt::format("{} + {}", name,
                           static_cast<std::int64_t>(frame.instructionPointer - frame.symbolInfo->startAddress));
    }
    return fmt::format("0x{:x} + {}", base, offset);
}

std::map<std::string, std::string> RDDIErrorLogFormatter::extractRegistersFromCrashedThread(
    const CrashReportThreadInfo* thread, bool is64bit) {
    std::map<std::string, std::string> registers;
    if (!thread) return registers;
    for (const auto& reg : thread->registers) registers[reg.registerName] = formatAddress(reg.registerValue, is64bit);
    return registers;
}

std::optional<std::string> RDDIErrorLogFormatter::extractExceptionReasonFromReport(const CrashReport& report) {
    if (!report.hasExceptionInfo()) return std::nullopt;
    return report.exceptionInfo()->exceptionReason;
}

std::optional<std::string> RDDIErrorLogFormatter::selectorRegisterValueFromReport(
    const CrashReport& report, const CrashReportThreadInfo* crashedThread, std::uint64_t cpuType) {
    if (!crashedThread) return std::nullopt;
    std::vector<const char*> names;
    switch (cpuType) {
        case kRDDICPUTypeARM: names = {"r1", "r2"}; break;
        case kRDDICPUTypeX86: names = {"ecx"}; break;
        case kRDDICPUTypeX86_64: names = {"rsi", "rdx"}; break;
        case kRDDICPUTypeARM64: names = {"x1"}; break;
        default: return std::nullopt;
    }
    for (const char* name : names)
        if (auto selector = selectorForRegisterWithName(name, *crashedThread, report)) return selector;
    return std::nullopt;
}

std::optional<std::string> RDDIErrorLogFormatter::selectorForRegisterWithName(const std::string& name,
                                                                               const CrashReportThreadInfo& thread,
                                                                               const CrashReport& report) {
    const lvcrash::CrashReportRegisterInfo* found = nullptr;
    for (const auto& reg : thread.registers) {
        if (reg.registerName == name) {
            found = &reg;
            break;
        }
    }
    if (!found || found->registerValue == 0) return std::nullopt;
    const auto* image = report.imageForAddress(found->registerValue);
    if (!image || !image->imageUUID) return std::nullopt;

    const std::uint32_t count = platform::darwin::loader_image_count();
    for (std::uint32_t index = 0; index < count; ++index) {
        const void* header = platform::darwin::loader_image_header(index);
        const char* path = platform::darwin::loader_image_name(index);
        if (!header || !path || image->imageName != path) continue;
        auto uuid = machoUUID(header);
        if (!uuid || *uuid != *image->imageUUID) continue;

        std::uint64_t size = 0;
        const std::uint8_t* section =
            platform::darwin::loader_section_data(header, "__TEXT", "__objc_methname", &size);
        if (!section) return std::nullopt;
        const auto* candidate =
            static_cast<const std::uint8_t*>(header) + (found->registerValue - image->imageBaseAddress);
        const std::uint8_t* end = section + size;
        if (candidate < section || candidate >= end) return std::nullopt;
        const void* zero = std::memchr(candidate, 0, static_cast<std::size_t>(end - candidate));
        if (!zero) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(candidate), static_cast<const std::uint8_t*>(zero) - candidate);
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<RDDIBinary>> RDDIErrorLogFormatter::extractBinaryImagesFromReport(const CrashReport& report,
                                                                                                bool is64bit) {
    const std::vector<std::uint64_t> addresses = addressesFromReport(report);
    std::optional<std::string> processPath;
    if (report.hasProcessInfo()) processPath = report.processInfo()->processPath;

    std::vector<const lvcrash::CrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress < b->imageBaseAddress; });

    std::vector<std::shared_ptr<RDDIBinary>> binaries;
    for (const auto* image : images) {
        const std::uint64_t start = image->imageBaseAddress;
        const std::uint64_t end = start + std::max<std::uint64_t>(image->imageSize, 1) - 1;
        const int kind = imageTypeForImagePath(image->imageName, processPath);
        if (!isBinaryWithStart(start, end, addresses) && kind == RDDIBinaryImageTypeOther) continue;
        auto binary = std::make_shared<RDDIBinary>();
        binary->binaryId = image->imageUUID ? *image->imageUUID : std::string(kRDDIUnknownName);
        binary->startAddress = formatAddress(start, is64bit);
        binary->endAddress = formatAddress(end, is64bit);
        binary->path = anonymizedPathFromPath(image->imageName);
        binary->name = image->imageName.empty() ? std::string(kRDDIUnknownName) : lastPathComponent(image->imageName);
        if (image->codeType) {
            binary->primaryArchitectureId = static_cast<std::int64_t>(image->codeType->type);
            binary->architectureVariantId = static_cast<std::int64_t>(image->codeType->subtype);
        }
        binaries.push_back(std::move(binary));
    }
    return binaries;
}

std::vector<std::uint64_t> RDDIErrorLogFormatter::addressesFromReport(const CrashReport& report) {
    std::vector<std::uint64_t> addresses;
    if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames)
        for (const auto& frame : *report.exceptionInfo()->stackFrames) addresses.push_back(frame.instructionPointer);
    for (const auto& thread : report.threads()) {
        for (const auto& frame : thread.stackFrames) addresses.push_back(frame.instructionPointer);
        for (const auto& reg : thread.registers) addresses.push_back(reg.registerValue);
    }
    return addresses;
}

bool RDDIErrorLogFormatter::isBinaryWithStart(std::uint64_t start, std::uint64_t end,
                                              const std::vector<std::uint64_t>& addresses) {
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](std::uint64_t address) { return address >= start && address <= end; });
}

int RDDIErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                 const std::optional<std::string>& processPath) {
    if (!imagePath || !processPath || imagePath->empty() || processPath->empty()) return RDDIBinaryImageTypeOther;
    const std::string image = standardized(*imagePath);
    const std::string process = standardized(*processPath);
    if (image == process) return RDDIBinaryImageTypeProcess;
    const std::string folder = installFolderOf(*processPath);
    // An executable at the root would make every image the application's.
    if (folder.empty() || folder == "/") return RDDIBinaryImageTypeOther;
    return startsWith(image, folder + "/") ? RDDIBinaryImageTypeApplication : RDDIBinaryImageTypeOther;
}

std::string RDDIErrorLogFormatter::anonymizedPathFromPath(const std::string& original) {
    std::string path = original;
    // Home folders first: a Linux home path holds no "Users" and would go out with the name.
    if (const char* home = std::getenv("HOME"); home && *home) {
        std::string prefix = standardized(home);
        if (prefix != "/" && path == prefix)
            path = "/home/USER";
        else if (prefix != "/" && startsWith(path, prefix + "/"))
            path = "/home/USER/" + path.substr(prefix.size() + 1);
    }
    if (startsWith(path, "/home/") && path.size() > 6) {
        std::size_t slash = path.find('/', 6);
        path = slash == std::string::npos ? "/home/USER" : "/home/USER/" + path.substr(slash + 1);
    }
    if (!path.empty() && startsWith(path, "/Users/")) {
        static const std::regex pattern("(/Users/[^/]+/)");
        return std::regex_replace(path, pattern, "/Users/USER/");
    }
    if (!path.empty() && path.find("Users") == std::string::npos) return path;
    return std::string();
}

std::shared_ptr<RDDIDevice> RDDIErrorLogFormatter::deviceForTimestamp(const pf::Date& timestamp,
                                                                     const CrashReport& report) {
    auto history = RDDIDeviceTracker::sharedInstance()->deviceForTimestamp(timestamp);
    auto device = history ? std::make_shared<RDDIDevice>(*history) : std::make_shared<RDDIDevice>();
    const auto& system = report.systemInfo();
    if (!system.operatingSystemVersion.empty()) device->osVersion = system.operatingSystemVersion;
    if (system.operatingSystemBuild) device->osBuild = system.operatingSystemBuild;
    if (report.machineInfo() && report.machineInfo()->modelName) device->model = report.machineInfo()->modelName;
    const auto& app = report.applicationInfo();
    if (!app.applicationVersion.empty()) device->appBuild = app.applicationVersion;
    if (app.applicationMarketingVersion) device->appVersion = app.applicationMarketingVersion;
    if (!app.applicationIdentifier.empty()) device->appNamespace = app.applicationIdentifier;
    return device;
}

std::optional<std::string> RDDIErrorLogFormatter::uuidRefToString(const std::optional<std::array<std::uint8_t, 16>>& uuid) {
    if (!uuid) return std::nullopt;
    return pf::UUID(*uuid).uuidString();
}

}  // namespace rddi
