#include "telemetry/crashes/rddi_crashes_util.hpp"

#include "telemetry/core/rddi_utility.hpp"

#include <atomic>
#include <mutex>

namespace rddi {

namespace {

// A once-only guard that can be rearmed, which std::once_flag cannot.
struct CreationGuard {
    std::mutex lock;
    std::atomic<bool> done{false};
};

CreationGuard crashesGuard, logBufferGuard, wrapperExceptionsGuard;

std::string folder(CreationGuard& guard, const char* name) {
    if (!guard.done.load(std::memory_order_acquire)) {
        std::lock_guard hold(guard.lock);
        if (!guard.done.load(std::memory_order_relaxed)) {
            // Failures are logged by the utility; the name is answered either way.
            RDDIUtility::createDirectoryForPathComponent(std::string(name));
            guard.done.store(true, std::memory_order_release);
        }
    }
    return name;
}

}  // namespace

std::string RDDICrashesUtil::crashesDir() { return folder(crashesGuard, "crashes"); }
std::string RDDICrashesUtil::logBufferDir() { return folder(logBufferGuard, "crasheslogbuffer"); }
std::string RDDICrashesUtil::wrapperExceptionsDir() { return folder(wrapperExceptionsGuard, "crasheswrapperexceptions"); }

void RDDICrashesUtil::resetDirectory() {
    crashesGuard.done.store(false);
    logBufferGuard.done.store(false);
    wrapperExceptionsGuard.done.store(false);
}

}  // namespace rddi
