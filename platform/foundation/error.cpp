#include "platform/foundation/error.hpp"

#include <fmt/format.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform::foundation {

Error::Error(std::string domain, int code, const std::string& description)
    : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

Error::Error(FoundationErrorCode code, const std::string& description)
    : Error(std::string(kFoundationErrorDomain), static_cast<int>(code), description) {}

Error Error::posix(int err, const std::string& what) {
    return Error(std::string(kPosixErrorDomain), err, fmt::format("{}: {}", what, std::strerror(err)));
}

bool isOutOfFileDescriptors(int err) { return err == EMFILE || err == ENFILE; }

bool isOutOfFileDescriptors(const Error& error) {
    return error.domain() == kPosixErrorDomain && isOutOfFileDescriptors(error.code());
}

std::string Error::printedDescription() const {
    return fmt::format("Error Domain={} Code={} \"{}\"", domain_, code_, what());
}

void fatalError(std::string_view message, std::string_view file, int line) {
    std::string text = line > 0 ? fmt::format("Fatal error: {}: file {}, line {}", message, file, line)
                                : fmt::format("Fatal error: {}: file {}", message, file);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    syslog(LOG_CRIT, "%s", text.c_str());
    std::abort();
}

void fatalError(std::string_view message, std::source_location where) {
    fatalError(message, where.file_name(), static_cast<int>(where.line()));
}

}  // namespace platform::foundation
