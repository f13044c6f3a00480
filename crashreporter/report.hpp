#pragma once
// A crash report file read back: header checks, the body unpacked with the code generated from
// lvcrash.proto, and a tree of immutable values for the text formatter and the crash service.
// Also the host's kernel version as three numbers.
#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/foundation/error.hpp"

struct Lvcrash__CrashReport;

namespace lvcrash {

inline constexpr const char* kCrashReporterErrorDomain = "LVCrashReporterErrorDomain";
inline constexpr int kCrashReporterErrorUnknown = 0;
inline constexpr int kCrashReporterErrorCrashReportInvalid = 2;

// The most a report file may hold: the writer stops at 256 KiB, so a longer file is none of its
// reports, and reading and unpacking it whole would only stall the reader and take its memory.
inline constexpr std::size_t kCrashReportMaxFileSize = 1 << 20;

// What a report may contain before it is unpacked at all (the writer stays well inside: 1,024
// threads of at most 512 frames, and 256 KiB in all). Unpacking allocates per field, many times
// a field's few bytes, so the counts are checked on the encoded bytes first.
struct CrashReportLimits {
    static constexpr std::size_t threads = 1024;
    static constexpr std::size_t framesPerThread = 512;
    static constexpr std::size_t frames = 65536;  // all threads' and the exception's together
    static constexpr std::size_t registersPerThread = 128;
    static constexpr std::size_t images = 16384;
    static constexpr std::size_t machCodes = 255;
    static constexpr std::size_t customDataBytes = 256 * 1024;
    static constexpr std::size_t unknownFields = 64;
};

// The schema's enumeration values the readers compare against.
inline constexpr std::int32_t kReportOperatingSystemMacOSX = 0;
inline constexpr std::int32_t kReportOperatingSystemLinux = 5;
inline constexpr std::int32_t kReportArchitectureUnknown = 6;
inline constexpr std::uint32_t kReportTypeEncodingUnknown = 0;
inline constexpr std::uint32_t kReportTypeEncodingMach = 1;

struct CrashReportProcessorInfo {
    std::uint32_t typeEncoding = kReportTypeEncodingUnknown;
    std::uint64_t type = 0;
    std::uint64_t subtype = 0;
};

struct CrashReportSystemInfo {
    std::int32_t operatingSystem = 0;
    std::string operatingSystemVersion;
    std::optional<std::string> operatingSystemBuild;
    std::int32_t architecture = kReportArchitectureUnknown;
    std::optional<CrashReportProcessorInfo> processorInfo;
    std::optional<std::time_t> timestamp;  // none when the report says 0
};

struct CrashReportMachineInfo {
    std::optional<std::string> modelName;
    std::optional<CrashReportProcessorInfo> processorInfo;
    std::uint64_t processorCount = 0;
    std::uint64_t logicalProcessorCount = 0;
};

struct CrashReportApplicationInfo {
    std::string applicationIdentifier;
    std::string applicationVersion;
    std::optional<std::string> applicationMarketingVersion;
};

struct CrashReportProcessInfo {
    std::optional<std::string> processName;
    std::uint64_t processID = 0;
    std::optional<std::string> processPath;
    std::optional<std::time_t> processStartTime;
    std::optional<std::string> parentProcessName;
    std::uint64_t parentProcessID = 0;
    bool native = false;
};

struct CrashReportSignalInfo {
    std::string name;
    std::string code;
    std::uint64_t address = 0;
};

struct CrashReportMachExceptionInfo {
    std::uint64_t type = 0;
    std::vector<std::uint64_t> codes;
};

struct CrashReportSymbolInfo {
    std::string symbolName;
    std::uint64_t startAddress = 0;
    std::uint64_t endAddress = 0;  // 0 when unknown
};

struct CrashReportStackFrameInfo {
    std::uint64_t instructionPointer = 0;
    std::optional<CrashReportSymbolInfo> symbolInfo;
};

struct CrashReportRegisterInfo {
    std::string registerName;
    std::uint64_t registerValue = 0;
};

struct CrashReportThreadInfo {
    std::int64_t threadNumber = 0;
    std::vector<CrashReportStackFrameInfo> stackFrames;
    bool crashed = false;
    std::vector<CrashReportRegisterInfo> registers;
};

struct CrashReportBinaryImageInfo {
    std::optional<CrashReportProcessorInfo> codeType;
    std::uint64_t imageBaseAddress = 0;
    std::uint64_t imageSize = 0;
    std::string imageName;
    bool hasImageUUID = false;
    std::optional<std::string> imageUUID;  // lower-case hex, two digits a byte, no separators
};

struct CrashReportExceptionInfo {
    std::string exceptionName;
    std::string exceptionReason;
    std::optional<std::vector<CrashReportStackFrameInfo>> stackFrames;
};

class CrashReport {
public:
    // The report in a file's bytes; none with the error (domain kCrashReporterErrorDomain,
    // code 2, the first failing check's text) when it cannot be read.
    static std::shared_ptr<const CrashReport> decode(std::span<const std::uint8_t> data,
                                                     std::optional<platform::foundation::Error>* error);
    // The checks and conversions after unpacking, for a message already in memory.
    static std::shared_ptr<const CrashReport> fromMessage(const Lvcrash__CrashReport& message,
                                                          std::optional<platform::foundation::Error>* error);

    const CrashReportSystemInfo& systemInfo() const { return systemInfo_; }
    const std::optional<CrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const CrashReportApplicationInfo& applicationInfo() const { return applicationInfo_; }
    const std::optional<CrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const CrashReportSignalInfo& signalInfo() const { return signalInfo_; }
    const std::optional<CrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    const std::vector<CrashReportThreadInfo>& threads() const { return threads_; }
    const std::vector<CrashReportBinaryImageInfo>& images() const { return images_; }
    const std::optional<CrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    const std::optional<std::vector<std::uint8_t>>& customData() const { return customData_; }
    const std::optional<std::array<std::uint8_t, 16>>& uuid() const { return uuid_; }
    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }

    // The first image, in report order, with base <= address < base + size.
    const CrashReportBinaryImageInfo* imageForAddress(std::uint64_t address) const;

private:
    CrashReportSystemInfo systemInfo_;
    std::optional<CrashReportMachineInfo> machineInfo_;
    CrashReportApplicationInfo applicationInfo_;
    std::optional<CrashReportProcessInfo> processInfo_;
    CrashReportSignalInfo signalInfo_;
    std::optional<CrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<CrashReportThreadInfo> threads_;
    std::vector<CrashReportBinaryImageInfo> images_;
    std::optional<CrashReportExceptionInfo> exceptionInfo_;
    std::optional<std::vector<std::uint8_t>> customData_;
    std::optional<std::array<std::uint8_t, 16>> uuid_;
};

// Reads a report file whole; a file longer than kCrashReportMaxFileSize is refused without being
// read (*err EFBIG), any other failure leaves its errno in *err.
std::optional<std::vector<std::uint8_t>> readCrashReportFile(const std::string& path, int* err);
// The same for a file already open, read from its start, within `limit` bytes; anything but a
// regular file is refused.
std::optional<std::vector<std::uint8_t>> readCrashReportDescriptor(int fd, int* err,
                                                                   std::size_t limit = kCrashReportMaxFileSize);

// Unpacks a report body; nullptr when the bytes are no valid message. Free with the second.
Lvcrash__CrashReport* RDlvcrash__crash_report__unpack(std::span<const std::uint8_t> body);
void RDlvcrash__crash_report__free_unpacked(Lvcrash__CrashReport* message);

struct LVCrashHostInfoVersion {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t revision = 0;
};

class CrashHostInfo {
public:
    // The running kernel's version; none when its release text cannot be had.
    static std::optional<CrashHostInfo> currentHostInfo();
    // Leading "major.minor.revision" of a kernel release ("6.1.0-18-amd64" gives 6, 1, 0);
    // a text that doesn't match is logged and keeps what was parsed.
    static CrashHostInfo fromRelease(const std::string& release);
    const LVCrashHostInfoVersion& darwinVersion() const { return version_; }

private:
    LVCrashHostInfoVersion version_;
};

}  // namespace lvcrash
