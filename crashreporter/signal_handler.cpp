#include "crashreporter/signal_handler.hpp"

#include <cerrno>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"

namespace lvcrash {
namespace {

// Zero-initialised at load time, before any constructor could run a handler.
lvcrash_async_list callback_list;
lvcrash_async_list previous_action_list;

std::atomic<int> writer_tid{0};
// Never woken: a thread that faults while another writes stays here until the process ends.
std::atomic<std::uint32_t> park_word{0};

int own_tid() { return static_cast<int>(syscall(SYS_gettid)); }

bool chain_continue(int signo, siginfo_t* info, ucontext_t* uap, void* current) {
    return lvcrash_signal_callback_chain_next(static_cast<lvcrash_async_list_node*>(current), signo, info, uap);
}

void set_default_action(int signo) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
}

void reset_monitored_signals() {
    for (int signo : lvcrash_monitored_signals) set_default_action(signo);
}

}  // namespace

int lvcrash_claim_crash_report() {
    int expected = 0;
    if (writer_tid.compare_exchange_strong(expected, own_tid(), std::memory_order_acq_rel)) return 0;
    return expected;
}

[[noreturn]] void lvcrash_park_until_the_end() {
    for (;;) syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&park_word), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

lvcrash_async_list* lvcrash_signal_callback_list() { return &callback_list; }
lvcrash_async_list* lvcrash_signal_previous_action_list() { return &previous_action_list; }

void lvcrash_async_list_reading(lvcrash_async_list* list, bool enable) {
    if (enable) list->reader_count.fetch_add(1, std::memory_order_acq_rel);
    else list->reader_count.fetch_sub(1, std::memory_order_acq_rel);
}

lvcrash_async_list_node* lvcrash_async_list_next(lvcrash_async_list* list, lvcrash_async_list_node* current) {
    return current ? current->next.load(std::memory_order_acquire) : list->head.load(std::memory_order_acquire);
}

bool lvcrash_signal_handler_callback_next(lvcrash_signal_handler_callback* next, int signo, siginfo_t* info,
                                          ucontext_t* uap) {
    return next && next->callback(signo, info, uap, next->current);
}

bool lvcrash_signal_callback_chain_next(lvcrash_async_list_node* after, int signo, siginfo_t* info, ucontext_t* uap) {
    lvcrash_async_list_reading(&callback_list, true);
    bool handled = false;
    if (lvcrash_async_list_node* node = lvcrash_async_list_next(&callback_list, after)) {
        lvcrash_signal_handler_callback handle{chain_continue, node};
        const bool more = lvcrash_async_list_next(&callback_list, node) != nullptr;
        handled = node->value.callback.callback(signo, info, uap, node->value.callback.context, more ? &handle : nullptr);
    }
    lvcrash_async_list_reading(&callback_list, false);
    return handled;
}

void lvcrash_signal_handler_entry(int signo, siginfo_t* info, void* uap) {
    const int saved = errno;
    if (!lvcrash_signal_callback_chain_next(nullptr, signo, info, static_cast<ucontext_t*>(uap))) {
        // The re-raise must end in the default action: were our entry still installed, a fault
        // would come straight back here for ever.
        set_default_action(signo);
        raise(signo);
    }
    errno = saved;
}

bool lvcrash_signal_forward_to_previous_handler(int signo, siginfo_t* info, ucontext_t* uap, void*,
                                                lvcrash_signal_handler_callback* next) {
    if (next && lvcrash_signal_handler_callback_next(next, signo, info, uap)) return true;
    lvcrash_async_list_reading(&previous_action_list, true);
    struct sigaction previous {};
    bool found = false;
    for (auto* node = lvcrash_async_list_next(&previous_action_list, nullptr); node;
         node = lvcrash_async_list_next(&previous_action_list, node)) {
        if (node->value.previous.signo == signo) {
            previous = node->value.previous.action;
            found = true;
            break;
        }
    }
    lvcrash_async_list_reading(&previous_action_list, false);
    if (!found) return false;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signo, info, uap);
        return true;
    }
    if (previous.sa_handler == SIG_IGN) return true;
    if (previous.sa_handler == SIG_DFL) return false;
    previous.sa_handler(signo);
    return true;
}

bool lvcrash_signal_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                   lvcrash_signal_handler_callback*) {
    auto* crash = static_cast<lvcrash_crash_context*>(context);
    if (const int holder = lvcrash_claim_crash_report(); holder != 0) {
        if (holder == own_tid()) {
            // A fault inside our own write: end at once by the default action.
            reset_monitored_signals();
            return false;
        }
        // Another thread is writing: leave our fault context for its report and wait for the end.
        // The stop signal is blocked first, so that the writer reads the fault's context rather
        // than one taken inside this handler.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, platform::darwin::thread_control_stop_signal());
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        platform::darwin::thread_offer_context(uap);
        lvcrash_park_until_the_end();
    }
    lvcrash_async_thread_state state;
    lvcrash_async_thread_state_mcontext_init(&state, &uap->uc_mcontext);
    const lvcrash_log_writer_signal_info signal{info->si_signo, info->si_code,
                                                reinterpret_cast<std::uint64_t>(info->si_addr),
                                                false, 0, nullptr, 0};
    const lvcrash_error_t result = lvcrash_write_report(crash, lvcrash_async_mach_thread_self(), &state, &signal);
    if (result == LVCRASH_ERROR_NONE && crash->handleSignal) crash->handleSignal(info, uap, crash->callback_context);
    // Only now: earlier, a fault on another thread during the write would kill the process mid-write.
    reset_monitored_signals();
    (void)signo;
    return false;
}

lvcrash_error_t lvcrash_write_report(lvcrash_crash_context* context, thread_t crashed_thread,
                                     const lvcrash_async_thread_state* state,
                                     const lvcrash_log_writer_signal_info* signal) {
    lvcrash_report_partial partial;
    const int fd = lvcrash_report_location_create(&context->report, &partial);
    if (fd < 0) return LVCRASH_ERROR_INTERNAL;
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, LVCRASH_ASYNC_REPORT_LIMIT);
    // The other threads stay suspended: the process ends with them parked.
    const lvcrash_error_t result = lvcrash_log_writer_write(context->writer, crashed_thread, context->image_list, &file,
                                                            signal, state, true);
    const bool writer_closed = lvcrash_log_writer_close(context->writer) == LVCRASH_ERROR_NONE;
    const bool flushed = lvcrash_async_file_flush(&file);
    const bool closed = lvcrash_async_file_close(&file);
    // What was written goes into place even then: the report decodes as far as it got.
    const bool published = lvcrash_report_location_publish(&context->report, &partial);
    if (!writer_closed || !flushed || !closed || !published) return LVCRASH_ERROR_INTERNAL;
    return result;
}

}  // namespace lvcrash
