#pragma once
// A named exception with a reason, user info and the call stack taken when it was raised;
// stands in for the platform's exception class and its uncaught-exception handler.
//
// Exceptions are held and thrown as std::shared_ptr<Exception> (the platform throws its
// exceptions as object pointers), so a subclass thrown through raise() is caught as the
// base pointer and keeps its overrides.
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace platform::foundation {

class Exception;
using ExceptionPtr = std::shared_ptr<Exception>;

class Exception {
public:
    Exception(std::string name, std::string reason, Dictionary userInfo = {});
    virtual ~Exception() = default;

    // Takes the call stack (this call's caller first) and throws `exception`.
    [[noreturn]] static void raise(ExceptionPtr exception);
    // Builds and raises a plain exception.
    [[noreturn]] static void raise(std::string name, std::string reason, Dictionary userInfo = {});

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }

    // The return addresses taken when raised, innermost first; empty before.
    virtual std::vector<std::uint64_t> callStackReturnAddresses() const { return returnAddresses_; }
    // One line per return address in the classic layout: index padded to 4, image name
    // padded to 35, "0x" and 16 hex digits, then "symbol + offset" (or
    // "0x<image base> + offset" without a symbol).
    std::vector<std::string> callStackSymbols() const;

    // Takes the current thread's call stack into callStackReturnAddresses, dropping the
    // `skip` innermost frames of the caller's own.
    void recordCallStack(int skip = 0);

    // The type a raise() throws: a throw of this type is a platform exception.
    static const std::type_info& thrownType() { return typeid(ExceptionPtr); }

private:
    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<std::uint64_t> returnAddresses_;
};

// One line of the classic call-stack layout for `address` (see callStackSymbols).
std::string callStackSymbolLine(std::size_t index, std::uint64_t address);
// The current thread's call stack in the classic layout, the caller's frame first.
std::vector<std::string> currentCallStackSymbols();

// The handler called with a platform exception that nobody caught, just before the
// process aborts.
using UncaughtExceptionHandler = void (*)(const Exception& exception);

// Setting a handler (even null) installs, once per process, a terminate handler that
// hands an uncaught platform exception to the handler in force and then aborts; any
// other uncaught exception goes to the terminate handler that was in force before.
void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler getUncaughtExceptionHandler();

}  // namespace platform::foundation
