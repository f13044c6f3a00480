#include "crashreporter/reporter_error.hpp"

#include <utility>

#include "crashreporter/report.hpp"

namespace lvcrash {

ReporterError posixError(int err, std::string message) {
    return ReporterError{kCrashReporterErrorDomain, kCrashReporterErrorOperatingSystem, std::move(message),
                         kPosixErrorDomain, err};
}

ReporterError machError(int kr, std::string message) {
    return ReporterError{kCrashReporterErrorDomain, kCrashReporterErrorOperatingSystem, std::move(message),
                         kMachErrorDomain, kr};
}

void setError(ReporterError* out, ReporterError error) {
    if (out != nullptr) *out = std::move(error);
}

}  // namespace lvcrash
