// The program's own C++ throw entry. Defined in the executable, it comes before the C++
// runtime's in symbol lookup, so every throw (the runtime's own included) passes through
// it; it records the throwing thread's return addresses and hands over to the runtime's
// entry. It must be linked as an object: from a static library member the linker would
// drop it, and from a shared library it would not come first.
#include "platform/foundation/exception.hpp"
#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <typeinfo>

namespace {

using RuntimeThrow = void (*)(void*, std::type_info*, void (*)(void*));

RuntimeThrow runtimeThrow = nullptr;
pthread_once_t lookupOnce = PTHREAD_ONCE_INIT;

void lookUpRuntimeThrow() { runtimeThrow = reinterpret_cast<RuntimeThrow>(::dlsym(RTLD_NEXT, "__cxa_throw")); }

}  // namespace

// The second parameter is the thrown type's std::type_info; the compiler's own
// declaration of this entry has it as void*.
extern "C" void __cxa_throw(void* thrown, void* typeInfo, void (*destructor)(void*)) {
    auto* type = static_cast<std::type_info*>(typeInfo);
    pthread_once(&lookupOnce, lookUpRuntimeThrow);
    // Platform exceptions are reported by the platform's uncaught-exception path instead.
    const bool platformException = type && *type == platform::foundation::Exception::thrownType();
    if (!platformException && rddi::cxxthrow::recording()) {
        if (auto* record = rddi::cxxthrow::threadRecord()) {
            // Called here, not in a helper, so that the first address is this entry's own frame.
            const int count =
                ::backtrace(reinterpret_cast<void**>(record->frames), rddi::cxxthrow::kMaxFrames);
            std::uint32_t kept = count > 0 ? static_cast<std::uint32_t>(count) : 0;
#if defined(__SANITIZE_ADDRESS__)
            // The sanitizer's own backtrace wrapper adds a frame of its own before ours.
            if (kept > 0) {
                std::memmove(record->frames, record->frames + 1, (kept - 1) * sizeof record->frames[0]);
                --kept;
            }
#endif
            record->count = kept;
        }
    }
    if (!runtimeThrow) std::abort();
    runtimeThrow(thrown, type, destructor);
    std::abort();  // the runtime's entry never returns
}
