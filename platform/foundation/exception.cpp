#include "platform/foundation/exception.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <mutex>

namespace platform::foundation {

namespace {

constexpr int kMaxFrames = 128;

std::atomic<UncaughtExceptionHandler> uncaughtHandler{nullptr};
std::terminate_handler previousTerminate = nullptr;

const char* lastPathComponent(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// An uncaught platform exception goes to the uncaught-exception handler and ends the
// process; anything else is the business of whoever terminated before us.
[[noreturn]] void terminateWithUncaughtException() {
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const ExceptionPtr& exception) {
            if (const UncaughtExceptionHandler handler = uncaughtHandler.load(); handler && exception) {
                handler(*exception);
            }
            std::abort();
        } catch (...) {
        }
    }
    if (previousTerminate) previousTerminate();
    std::abort();
}

// Frames of the caller's caller onwards, `skip` more dropped.
__attribute__((noinline)) std::vector<std::uint64_t> takeCallStack(int skip) {
    void* frames[kMaxFrames + 8];
    const int count = ::backtrace(frames, kMaxFrames + 8);
#if defined(__SANITIZE_ADDRESS__)
    ++skip;  // the sanitizer's backtrace wrapper adds a frame of its own
#endif
    std::vector<std::uint64_t> addresses;
    for (int i = 1 + skip; i < count && static_cast<int>(addresses.size()) < kMaxFrames; ++i) {
        addresses.push_back(reinterpret_cast<std::uintptr_t>(frames[i]));
    }
    return addresses;
}

}  // namespace

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {}

__attribute__((noinline)) void Exception::recordCallStack(int skip) { returnAddresses_ = takeCallStack(1 + skip); }

__attribute__((noinline)) void Exception::raise(ExceptionPtr exception) {
    if (exception) exception->recordCallStack(1);
    throw exception;
}

__attribute__((noinline)) void Exception::raise(std::string name, std::string reason, Dictionary userInfo) {
    auto exception = std::make_shared<Exception>(std::move(name), std::move(reason), std::move(userInfo));
    exception->recordCallStack(1);
    throw exception;
}

std::vector<std::string> Exception::callStackSymbols() const {
    std::vector<std::string> lines;
    const auto addresses = callStackReturnAddresses();
    lines.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) lines.push_back(callStackSymbolLine(i, addresses[i]));
    return lines;
}

std::string callStackSymbolLine(std::size_t index, std::uint64_t address) {
    Dl_info info{};
    const bool found = ::dladdr(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), &info) != 0;
    const char* image = found && info.dli_fname && *info.dli_fname ? lastPathComponent(info.dli_fname) : "???";
    char symbol[1024];
    if (found && info.dli_sname && info.dli_saddr) {
        std::snprintf(symbol, sizeof symbol, "%s + %llu", info.dli_sname,
                      static_cast<unsigned long long>(address - reinterpret_cast<std::uintptr_t>(info.dli_saddr)));
    } else {
        const std::uint64_t base = found ? reinterpret_cast<std::uintptr_t>(info.dli_fbase) : 0;
        std::snprintf(symbol, sizeof symbol, "0x%llx + %llu", static_cast<unsigned long long>(base),
                      static_cast<unsigned long long>(address - base));
    }
    char line[1200];
    std::snprintf(line, sizeof line, "%-4zu%-35s 0x%016llx %s", index, image, static_cast<unsigned long long>(address),
                  symbol);
    return line;
}

__attribute__((noinline)) std::vector<std::string> currentCallStackSymbols() {
    const auto addresses = takeCallStack(0);
    std::vector<std::string> lines;
    lines.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) lines.push_back(callStackSymbolLine(i, addresses[i]));
    return lines;
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
    static std::once_flag once;
    uncaughtHandler.store(handler);
    std::call_once(once, [] { previousTerminate = std::set_terminate(terminateWithUncaughtException); });
}

UncaughtExceptionHandler getUncaughtExceptionHandler() { return uncaughtHandler.load(); }

}  // namespace platform::foundation
