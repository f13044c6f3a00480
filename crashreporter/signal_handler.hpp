#pragma once
// Signal capture: one handler per monitored signal, with lock-free lists (walked from signal
// handlers) of the callbacks to run and of the actions installed before ours; the crash
// callback that writes the pending report, and the report write itself.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <optional>

#include "crashreporter/report_location.hpp"
#include "crashreporter/report_writer.hpp"
#include "platform/foundation/error.hpp"

namespace lvcrash {

struct lvcrash_signal_handler_callback;

// Run the rest of the chain after the entry holding this handle.
using lvcrash_signal_handler_callback_func = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                                      lvcrash_signal_handler_callback* next);

// A next-handle: the continuation and the entry it continues after.
struct lvcrash_signal_handler_callback {
    bool (*callback)(int signo, siginfo_t* info, ucontext_t* uap, void* current);
    void* current;
};

bool lvcrash_signal_handler_callback_next(lvcrash_signal_handler_callback* next, int signo, siginfo_t* info,
                                          ucontext_t* uap);

// Async-safe list: writers serialise on a spin lock and publish with atomic stores; readers
// only count themselves in. A node removed while a reader is in goes to the free list.
struct lvcrash_async_list_node {
    std::atomic<lvcrash_async_list_node*> next;
    std::atomic<lvcrash_async_list_node*> prev;
    union {
        struct {
            lvcrash_signal_handler_callback_func callback;
            void* context;
        } callback;
        struct {
            int signo;
            struct sigaction action;
        } previous;
    } value;
};

struct lvcrash_async_list {
    std::atomic<lvcrash_async_list_node*> head;
    std::atomic<lvcrash_async_list_node*> tail;
    std::atomic_flag write_lock;
    std::atomic<std::int32_t> reader_count;
    lvcrash_async_list_node* free_list;
};

// Readers (crash path).
void lvcrash_async_list_reading(lvcrash_async_list* list, bool enable);
lvcrash_async_list_node* lvcrash_async_list_next(lvcrash_async_list* list, lvcrash_async_list_node* current);
// Writers (allocate).
lvcrash_async_list_node* lvcrash_async_list_append(lvcrash_async_list* list, const lvcrash_async_list_node& value);
lvcrash_async_list_node* lvcrash_async_list_prepend(lvcrash_async_list* list, const lvcrash_async_list_node& value);
void lvcrash_async_list_remove(lvcrash_async_list* list, lvcrash_async_list_node* node);
std::size_t lvcrash_async_list_count(lvcrash_async_list* list);

lvcrash_async_list* lvcrash_signal_callback_list();
lvcrash_async_list* lvcrash_signal_previous_action_list();

// The installed sa_sigaction.
void lvcrash_signal_handler_entry(int signo, siginfo_t* info, void* uap);
bool lvcrash_signal_callback_chain_next(lvcrash_async_list_node* after, int signo, siginfo_t* info, ucontext_t* uap);
bool lvcrash_signal_forward_to_previous_handler(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                                lvcrash_signal_handler_callback* next);

// What the crash path needs, prepared before capture is enabled.
struct lvcrash_crash_context {
    lvcrash_log_writer_t* writer;
    lvcrash_report_location report;
    lvcrash_async_image_list* image_list;
    void* callback_context;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

// The six signals a crash reporter monitors.
inline constexpr int lvcrash_monitored_signals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

bool lvcrash_signal_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                   lvcrash_signal_handler_callback* next);

// A process writes one report, whichever way its crash comes (a signal, or the Mach
// exception server): the first thread to claim it writes it, and every other crash of
// the process is part of the same incident. 0 when the calling thread now holds the
// claim, else the id of the thread that holds it (the caller's own once it wrote).
// Async-signal-safe.
int lvcrash_claim_crash_report();
// For a thread whose crash another thread reports: it waits there until the process ends.
[[noreturn]] void lvcrash_park_until_the_end();
lvcrash_error_t lvcrash_write_report(lvcrash_crash_context* context, thread_t crashed_thread,
                                     const lvcrash_async_thread_state* state,
                                     const lvcrash_log_writer_signal_info* signal);

class RDLVCrashSignalHandler {
public:
    static RDLVCrashSignalHandler* sharedHandler();

    bool registerHandlerForSignal(int signo, lvcrash_signal_handler_callback_func callback, void* context,
                                  std::optional<platform::foundation::Error>* error);
    bool registerHandlerWithSignal(int signo, std::optional<platform::foundation::Error>* error);

private:
    RDLVCrashSignalHandler() = default;
    stack_t _sigstk{};
};

}  // namespace lvcrash
