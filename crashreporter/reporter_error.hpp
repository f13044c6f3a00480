#pragma once
// The reporter's errors as values: a code of the reporter's domain, a message, and where the
// cause is the operating system (or the emulated Mach calls), the underlying error.
#include <string>

namespace lvcrash {

inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kMachErrorDomain = "NSMachErrorDomain";
inline constexpr int kCrashReporterErrorOperatingSystem = 1;
inline constexpr int kCrashReporterErrorAlreadyEnabled = 3;

struct ReporterError {
    std::string domain;
    int code = 0;
    std::string message;
    std::string underlyingDomain;  // empty without an underlying error
    long underlyingCode = 0;
};

// An operating-system failure (code 1) with the errno or kern_return_t behind it.
ReporterError posixError(int err, std::string message);
ReporterError machError(int kr, std::string message);
// Stores error in *out when out is given.
void setError(ReporterError* out, ReporterError error);

}  // namespace lvcrash
