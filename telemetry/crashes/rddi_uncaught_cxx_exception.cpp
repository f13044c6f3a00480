#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <pthread.h>
#include <string>

namespace rddi {

namespace pf = platform::foundation;

static_assert(sizeof(void*) == sizeof(std::uint64_t), "return addresses are recorded as 64-bit words");

namespace {

// Spin lock over the manager's state; the terminate handler keeps it while handlers run.
std::atomic_flag stateLock = ATOMIC_FLAG_INIT;
struct SpinGuard {
    SpinGuard() { lock(); }
    ~SpinGuard() { unlock(); }
    static void lock() {
        while (stateLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    static void unlock() { stateLock.clear(std::memory_order_release); }
};

std::vector<RDDICrashesUncaughtCXXExceptionHandler> handlers;
std::atomic<bool> installed{false};
std::terminate_handler previousTerminate = nullptr;

pthread_key_t recordKey;
pthread_once_t recordKeyOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> recordKeyMade{false};

void makeRecordKey() {
    if (pthread_key_create(&recordKey, std::free) == 0) recordKeyMade.store(true, std::memory_order_release);
}

cxxthrow::ThrowRecord* existingRecord() {
    if (!recordKeyMade.load(std::memory_order_acquire)) return nullptr;
    return static_cast<cxxthrow::ThrowRecord*>(pthread_getspecific(recordKey));
}

void terminateHandler();

// Ends as a terminate handler must: through the previous one, or abort().
void endThroughPrevious(std::terminate_handler previous) {
    if (previous) {
        previous();
        return;
    }
    std::abort();
}

void terminateHandler() {
    const std::exception_ptr current = std::current_exception();
    SpinGuard::lock();
    const std::terminate_handler previous = previousTerminate;
    if (!current) {
        SpinGuard::unlock();
        endThroughPrevious(previous);
        return;
    }
    RDDICrashesCXXExceptionInfo info{};
    info.exception = &current;
    const std::type_info* type = abi::__cxa_current_exception_type();
    info.typeName = type ? type->name() : nullptr;

    // The first recorded address is the throw entry's own frame.
    std::uint64_t localFrames[cxxthrow::kMaxFrames];
    const cxxthrow::ThrowRecord* record = existingRecord();
    std::uint32_t count;
    const std::uint64_t* frames;
    if (record) {
        count = std::min<std::uint32_t>(record->count, cxxthrow::kMaxFrames);
        frames = record->frames;
    } else {
        count = static_cast<std::uint32_t>(::backtrace(reinterpret_cast<void**>(localFrames), cxxthrow::kMaxFrames));
        frames = localFrames;
    }
    // An empty record has no frame to drop.
    info.frameCount = count > 0 ? count - 1 : 0;
    info.frames = frames + 1;

    bool platformException = false;
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        info.message = e.what();
    } catch (const std::exception* e) {
        info.message = e ? e->what() : nullptr;
    } catch (const std::string& s) {
        info.message = s.c_str();
    } catch (const std::string* s) {
        info.message = s ? s->c_str() : nullptr;
    } catch (const char* s) {
        info.message = s;
    } catch (const pf::ExceptionPtr&) {
        platformException = true;
    } catch (...) {
        info.message = nullptr;
    }
    if (platformException) {
        // The platform's own uncaught-exception path reports it.
        SpinGuard::unlock();
        endThroughPrevious(previous);
        return;
    }
    for (const auto handler : handlers) handler(&info);
    SpinGuard::unlock();
    endThroughPrevious(previous);
}

}  // namespace

namespace cxxthrow {

bool recording() { return installed.load(std::memory_order_relaxed); }

ThrowRecord* threadRecord() {
    if (!recordKeyMade.load(std::memory_order_acquire)) return nullptr;
    auto* record = static_cast<ThrowRecord*>(pthread_getspecific(recordKey));
    if (!record) {
        record = static_cast<ThrowRecord*>(std::calloc(1, sizeof(ThrowRecord)));
        if (!record) return nullptr;
        if (pthread_setspecific(recordKey, record) != 0) {
            std::free(record);
            return nullptr;
        }
    }
    return record;
}

}  // namespace cxxthrow

void RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(RDDICrashesUncaughtCXXExceptionHandler handler) {
    pthread_once(&recordKeyOnce, makeRecordKey);
    SpinGuard guard;
    if (!installed.load()) {
        previousTerminate = std::set_terminate(terminateHandler);
        installed.store(true);
    }
    handlers.push_back(handler);
}

void RDDICrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    RDDICrashesUncaughtCXXExceptionHandler handler) {
    SpinGuard guard;
    if (auto it = std::find(handlers.begin(), handlers.end(), handler); it != handlers.end()) handlers.erase(it);
    if (installed.load() && handlers.empty()) {
        const std::terminate_handler answered = std::set_terminate(previousTerminate);
        if (answered == terminateHandler) {
            installed.store(false);
            previousTerminate = nullptr;
        } else {
            // Somebody installed theirs over ours: it stays in force.
            std::set_terminate(answered);
        }
    }
}

std::size_t RDDICrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
    SpinGuard guard;
    return handlers.size();
}

namespace {

std::string demangledName(const char* typeName) {
    const char* mangled = typeName ? typeName : "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || !demangled) {
        std::free(demangled);
        return mangled;
    }
    std::string name(demangled);
    std::free(demangled);
    return name;
}

}  // namespace

RDDICrashesCXXExceptionWrapperException::RDDICrashesCXXExceptionWrapperException(const RDDICrashesCXXExceptionInfo* info)
    : pf::Exception(demangledName(info ? info->typeName : nullptr),
                    info && info->message ? info->message : ""),
      info_(info) {}

std::vector<std::uint64_t> RDDICrashesCXXExceptionWrapperException::callStackReturnAddresses() const {
    if (!info_ || !info_->frames) return {};
    return std::vector<std::uint64_t>(info_->frames, info_->frames + info_->frameCount);
}

}  // namespace rddi
