#pragma once
// Error values and the fatal stop; stands in for the platform's error object and
// the language's fatal-error call.
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::foundation {

inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kFoundationErrorDomain = "platform.foundation";

// Codes of kFoundationErrorDomain.
enum class FoundationErrorCode : int {
    fileNotFound = 4,
    fileReadCorrupt = 259,
    fileWriteFailed = 512,
    propertyListReadCorrupt = 3840,
    propertyListWriteInvalid = 3851,
    coderReadCorrupt = 4864,
    coderValueNotFound = 4865,
    bookmarkResolveFailed = 260,
};

// An error with a domain and a code, thrown by the stand-ins; what() is the
// human-readable description.
class Error : public std::runtime_error {
public:
    Error(std::string domain, int code, const std::string& description);
    Error(FoundationErrorCode code, const std::string& description);

    // An error of the POSIX domain for errno `err`, described as "<what>: <strerror>".
    static Error posix(int err, const std::string& what);

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    std::string localizedDescription() const { return what(); }
    // "Error Domain=<domain> Code=<code> \"<description>\"", as errors print themselves.
    std::string printedDescription() const;

private:
    std::string domain_;
    int code_;
};

// Whether errno `err` says that no file descriptor was left (EMFILE for the process,
// ENFILE for the system): the state of the process, not of what it was opening.
bool isOutOfFileDescriptors(int err);
// The same for an error of the POSIX domain; false for any other domain.
bool isOutOfFileDescriptors(const Error& error);

// Logs "Fatal error: <message>: file <file>, line <line>" to standard error and the
// system log, then aborts. For broken manifests and broken invariants only.
[[noreturn]] void fatalError(std::string_view message, std::string_view file, int line = 0);
[[noreturn]] void fatalError(std::string_view message,
                             std::source_location where = std::source_location::current());

}  // namespace platform::foundation
