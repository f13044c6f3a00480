// Crash path: runs on the exception server thread while the faulting thread waits.
#include "crashreporter/mach_exception_crash.hpp"

#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "crashreporter/async.hpp"
#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/signal_handler.hpp"
#include "crashreporter/thread_state.hpp"

namespace lvcrash {

namespace darwin = platform::darwin;

namespace {

lvcrash_mach_crash_context shared_context;

constexpr std::uint64_t report_limit = 256 * 1024;

struct WriteCall {
    port_t crashed_thread;
    const lvcrash_log_writer_signal_info* signal;
};

lvcrash_error_t write_pending(lvcrash_async_thread_state* state, void* context) {
    auto* call = static_cast<WriteCall*>(context);
    lvcrash_mach_crash_context* crash = &shared_context;
    if (crash->writer == nullptr) return LVCRASH_ERROR_INTERNAL;
    lvcrash_report_partial partial;
    const int fd = lvcrash_report_location_create(&crash->report, &partial);
    if (fd < 0) return LVCRASH_ERROR_OUTPUT;
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, report_limit);
    // Other threads stay suspended until handleSignal has run.
    lvcrash_error_t result = lvcrash_log_writer_write(crash->writer, call->crashed_thread, crash->image_list, &file,
                                                      call->signal, state, true);
    lvcrash_log_writer_close(crash->writer);
    if (!lvcrash_async_file_close(&file) && result == LVCRASH_ERROR_NONE) result = LVCRASH_ERROR_OUTPUT;
    if (!lvcrash_report_location_publish(&crash->report, &partial) && result == LVCRASH_ERROR_NONE)
        result = LVCRASH_ERROR_OUTPUT;
    return result;
}

}  // namespace

lvcrash_mach_crash_context* lvcrash_mach_crash_context_shared() { return &shared_context; }

lvcrash_kern_return_t lvcrash_mach_exception_crash_callback(port_t task, port_t thread, int exception_type,
                                                            const std::int64_t* codes, std::uint32_t code_count,
                                                            void* context) {
    auto* crash = static_cast<lvcrash_mach_crash_context*>(context);
    if (lvcrash_forward_exception(task, thread, exception_type, codes, code_count, &crash->previous_ports) ==
        darwin::kern_success) {
        return darwin::kern_success;
    }
    int signo = 0;
    int si_code = 0;
    std::uint64_t address = 0;
    if (!lvcrash_mach_exception_map_to_signal(exception_type, codes, code_count, &signo, &si_code, &address)) {
        return darwin::kern_failure;
    }
    // One report per process. An exception of another thread that comes after this server
    // wrote it (the process is ending) must not truncate it; one that comes while another
    // thread writes it (an abort) is answered never: its thread waits, and the writer ends
    // the process.
    if (const int holder = lvcrash_claim_crash_report(); holder != 0) {
        if (holder == static_cast<int>(syscall(SYS_gettid))) return darwin::kern_failure;
        lvcrash_park_until_the_end();
    }

    std::uint64_t wide_codes[darwin::exception_code_max] = {};
    const std::uint32_t count = code_count < darwin::exception_code_max ? code_count : darwin::exception_code_max;
    for (std::uint32_t i = 0; i < count; ++i) wide_codes[i] = static_cast<std::uint64_t>(codes[i]);
    const lvcrash_log_writer_signal_info signal{signo, si_code, address, true,
                                                static_cast<std::uint64_t>(exception_type), wide_codes, count};
    WriteCall call{thread, &signal};
    const lvcrash_error_t written = lvcrash_async_thread_state_current(write_pending, &call);
    if (written == LVCRASH_ERROR_NONE && crash->handleSignal != nullptr) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        info.si_signo = signo;
        info.si_code = si_code;
        info.si_addr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
        ucontext_t uap;
        std::memset(&uap, 0, sizeof uap);  // the machine context of a Mach exception is not at hand: all zero
        crash->handleSignal(&info, &uap, crash->callback_context);
    }
    if (crash->writer != nullptr) lvcrash_log_writer_resume_threads(crash->writer);
    return darwin::kern_failure;
}

}  // namespace lvcrash
