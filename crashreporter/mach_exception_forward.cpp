// Crash path: runs on the exception server thread while a faulting thread waits for its reply.
#include <csignal>
#include <cstring>

#include "crashreporter/mach_exception_server.hpp"

namespace lvcrash {

namespace darwin = platform::darwin;

lvcrash_kern_return_t lvcrash_forward_exception(port_t task, port_t thread, int exception_type,
                                                const std::int64_t* codes, std::uint32_t code_count,
                                                const lvcrash_mach_exception_port_set* previous) {
    if (previous == nullptr || exception_type < 0 || exception_type >= 32) return darwin::kern_failure;
    const std::uint32_t bit = 1u << exception_type;
    std::uint32_t count = previous->count < LVCRASH_EXC_TYPES_COUNT ? previous->count : LVCRASH_EXC_TYPES_COUNT;
    std::uint32_t found = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        port_t port = previous->ports[i];
        if (port == darwin::port_null || port == darwin::port_dead) continue;
        if ((previous->masks[i] & bit) == 0) continue;
        found = i;
        break;
    }
    if (found == count) return darwin::kern_failure;

    // More codes than a request carries would not fit: the receiver gets the first two.
    if (code_count > darwin::exception_code_max) code_count = darwin::exception_code_max;
    std::int32_t codes32[darwin::exception_code_max] = {};
    for (std::uint32_t i = 0; i < code_count; ++i) codes32[i] = static_cast<std::int32_t>(codes[i]);

    const port_t port = previous->ports[found];
    const std::int32_t behavior = previous->behaviors[found];
    const bool wide = (behavior & darwin::mach_exception_codes) != 0;
    int flavor = previous->flavors[found];
    switch (behavior & ~darwin::mach_exception_codes) {
    case darwin::exception_default:
        return wide ? darwin::mach_exception_raise(port, thread, task, exception_type, codes, code_count)
                    : darwin::exception_raise(port, thread, task, exception_type, codes32, code_count);
    case darwin::exception_state:
    case darwin::exception_state_identity: {
        std::uint32_t state[darwin::thread_state_max];
        std::uint32_t state_count = darwin::thread_state_max;
        lvcrash_kern_return_t kr = darwin::thread_get_state(thread, flavor, state, &state_count);
        if (kr != darwin::kern_success) return kr;
        // The receiver's new state is not applied to the thread.
        std::uint32_t new_state[darwin::thread_state_max];
        std::uint32_t new_count = darwin::thread_state_max;
        const bool identity = (behavior & ~darwin::mach_exception_codes) == darwin::exception_state_identity;
        if (identity) {
            return wide ? darwin::mach_exception_raise_state_identity(port, thread, task, exception_type, codes,
                                                                      code_count, &flavor, state, state_count,
                                                                      new_state, &new_count)
                        : darwin::exception_raise_state_identity(port, thread, task, exception_type, codes32,
                                                                 code_count, &flavor, state, state_count, new_state,
                                                                 &new_count);
        }
        return wide ? darwin::mach_exception_raise_state(port, exception_type, codes, code_count, &flavor, state,
                                                         state_count, new_state, &new_count)
                    : darwin::exception_raise_state(port, exception_type, codes32, code_count, &flavor, state,
                                                    state_count, new_state, &new_count);
    }
    default:
        return darwin::kern_failure;
    }
}

bool lvcrash_mach_exception_map_to_signal(int exception_type, const std::int64_t* codes, std::uint32_t code_count,
                                          int* signo, int* si_code, std::uint64_t* address) {
    if (code_count < 2 || codes == nullptr) return false;
    int number = 0;
    int code = 0;
    switch (exception_type) {
    case darwin::exc_bad_access:
        if (codes[0] == darwin::kern_invalid_address) {
            number = SIGSEGV;
            code = SEGV_MAPERR;
        } else {
            number = SIGBUS;
            code = BUS_ADRERR;
        }
        break;
    case darwin::exc_bad_instruction: number = SIGILL; break;
    case darwin::exc_arithmetic: number = SIGFPE; break;
    case darwin::exc_emulation: number = SIGILL; break;  // no emulation trap signal on this host
    case darwin::exc_software:
        switch (codes[0]) {
        case 0x10000: number = SIGSYS; break;
        case 0x10001: number = SIGPIPE; break;
        case 0x10003: number = SIGKILL; break;
        default: number = SIGABRT; break;
        }
        break;
    case darwin::exc_breakpoint:
        number = SIGTRAP;
        code = TRAP_BRKPT;
        break;
    default:
        return false;
    }
    *signo = number;
    *si_code = code;
    *address = static_cast<std::uint64_t>(codes[1]);
    return true;
}

}  // namespace lvcrash
