#pragma once
// Keeps the throw site of a C++ exception that nobody catches. The program's own throw
// entry (the object library telemetry_crashes_throw_entry, which every executable links)
// records the return addresses of each throw on the throwing thread; a terminate handler
// classifies the uncaught exception and hands its type, message and throw-site frames to
// the registered handlers.
#include "platform/foundation/exception.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rddi {

// Valid only during the handler call.
struct RDDICrashesCXXExceptionInfo {
    const void* exception;     // the terminate handler's holder of the current exception
    const char* typeName;      // mangled name of the exception's type
    const char* message;       // what(), the string's characters, or null
    std::uint32_t frameCount;  // entries in frames
    const std::uint64_t* frames;  // the throw-site stack, innermost first
};

using RDDICrashesUncaughtCXXExceptionHandler = void (*)(const RDDICrashesCXXExceptionInfo* info);

class RDDICrashesUncaughtCXXExceptionHandlerManager {
public:
    RDDICrashesUncaughtCXXExceptionHandlerManager() = delete;

    // Appends the handler (the same one may be added twice); the first add installs the
    // terminate handler and starts recording throws.
    static void addCXXExceptionHandler(RDDICrashesUncaughtCXXExceptionHandler handler);
    // Removes the first entry equal to the handler. Emptying the list puts the previous
    // terminate handler back, unless somebody else installed theirs over ours meanwhile.
    static void removeCXXExceptionHandler(RDDICrashesUncaughtCXXExceptionHandler handler);
    static std::size_t countCXXExceptionHandler();
};

// A C++ exception in the shape of a platform exception: the demangled type as its name,
// the message (or "") as its reason, and the throw site as its call stack.
class RDDICrashesCXXExceptionWrapperException : public platform::foundation::Exception {
public:
    explicit RDDICrashesCXXExceptionWrapperException(const RDDICrashesCXXExceptionInfo* info);
    // Not owned.
    const RDDICrashesCXXExceptionInfo* info() const { return info_; }
    std::vector<std::uint64_t> callStackReturnAddresses() const override;

private:
    const RDDICrashesCXXExceptionInfo* info_;
};

// What the throw entry and the terminate handler share.
namespace cxxthrow {

inline constexpr int kMaxFrames = 128;

struct ThrowRecord {
    std::uint64_t frames[kMaxFrames];
    std::uint32_t count;
};

// True while the terminate handler is installed (read without the lock).
bool recording();
// The calling thread's record, made zero-filled on first use; null when it cannot be had.
ThrowRecord* threadRecord();

}  // namespace cxxthrow

}  // namespace rddi
