// Set-up side of signal capture: list writers (they allocate) and registration.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "crashreporter/alternate_stack.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/signal_handler.hpp"

namespace lvcrash {
namespace {

constexpr std::size_t kAlternateStackSize = 65536;

std::mutex registration_mutex;

struct ListLock {
    lvcrash_async_list* list;
    explicit ListLock(lvcrash_async_list* l) : list(l) {
        while (list->write_lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~ListLock() { list->write_lock.clear(std::memory_order_release); }
};

lvcrash_async_list_node* take_node(lvcrash_async_list* list, const lvcrash_async_list_node& value) {
    lvcrash_async_list_node* node = list->free_list;
    if (node) list->free_list = node->prev.load(std::memory_order_relaxed);
    else node = static_cast<lvcrash_async_list_node*>(std::calloc(1, sizeof(lvcrash_async_list_node)));
    if (!node) return nullptr;
    node->value = value.value;
    node->next.store(nullptr, std::memory_order_relaxed);
    node->prev.store(nullptr, std::memory_order_relaxed);
    return node;
}

void free_nodes(lvcrash_async_list* list) {
    ListLock lock(list);
    for (auto* node = list->head.load(); node;) {
        auto* next = node->next.load();
        std::free(node);
        node = next;
    }
    for (auto* node = list->free_list; node;) {
        auto* next = node->prev.load();
        std::free(node);
        node = next;
    }
    list->head.store(nullptr);
    list->tail.store(nullptr);
    list->free_list = nullptr;
}

// Every node goes at process exit.
struct ListsAtExit {
    ~ListsAtExit() {
        free_nodes(lvcrash_signal_callback_list());
        free_nodes(lvcrash_signal_previous_action_list());
    }
} lists_at_exit;

// The error object carries no underlying error, so the POSIX one goes unreported.
platform::foundation::Error reporter_error(int, const char* text) {
    return platform::foundation::Error(kCrashReporterErrorDomain, 1, text);
}

}  // namespace

lvcrash_async_list_node* lvcrash_async_list_append(lvcrash_async_list* list, const lvcrash_async_list_node& value) {
    ListLock lock(list);
    lvcrash_async_list_node* node = take_node(list, value);
    if (!node) return nullptr;
    lvcrash_async_list_node* tail = list->tail.load(std::memory_order_relaxed);
    node->prev.store(tail, std::memory_order_relaxed);
    // The node is complete before a reader can reach it.
    if (tail) tail->next.store(node, std::memory_order_release);
    else list->head.store(node, std::memory_order_release);
    list->tail.store(node, std::memory_order_release);
    return node;
}

lvcrash_async_list_node* lvcrash_async_list_prepend(lvcrash_async_list* list, const lvcrash_async_list_node& value) {
    ListLock lock(list);
    lvcrash_async_list_node* node = take_node(list, value);
    if (!node) return nullptr;
    lvcrash_async_list_node* head = list->head.load(std::memory_order_relaxed);
    node->next.store(head, std::memory_order_relaxed);
    if (head) head->prev.store(node, std::memory_order_release);
    else list->tail.store(node, std::memory_order_release);
    list->head.store(node, std::memory_order_release);
    return node;
}

void lvcrash_async_list_remove(lvcrash_async_list* list, lvcrash_async_list_node* node) {
    ListLock lock(list);
    auto* prev = node->prev.load(std::memory_order_relaxed);
    auto* next = node->next.load(std::memory_order_relaxed);
    // A reader standing on the node still finds its way on through node->next.
    if (prev) prev->next.store(next, std::memory_order_release);
    else list->head.store(next, std::memory_order_release);
    if (next) next->prev.store(prev, std::memory_order_release);
    else list->tail.store(prev, std::memory_order_release);
    if (list->reader_count.load(std::memory_order_acquire) > 0) {
        // A reader may stand on it: keep it for a later insertion. The free list chains through
        // prev, so that such a reader still finds its way on through next.
        node->prev.store(list->free_list, std::memory_order_relaxed);
        list->free_list = node;
    } else {
        std::free(node);
    }
}

std::size_t lvcrash_async_list_count(lvcrash_async_list* list) {
    lvcrash_async_list_reading(list, true);
    std::size_t n = 0;
    for (auto* node = lvcrash_async_list_next(list, nullptr); node; node = lvcrash_async_list_next(list, node)) ++n;
    lvcrash_async_list_reading(list, false);
    return n;
}

RDLVCrashSignalHandler* RDLVCrashSignalHandler::sharedHandler() {
    static RDLVCrashSignalHandler* shared = [] {
        auto* handler = new RDLVCrashSignalHandler;
        handler->_sigstk.ss_sp = std::malloc(kAlternateStackSize);
        handler->_sigstk.ss_size = kAlternateStackSize;
        handler->_sigstk.ss_flags = 0;
        if (!handler->_sigstk.ss_sp) {
            delete handler;
            return static_cast<RDLVCrashSignalHandler*>(nullptr);
        }
        return handler;
    }();
    return shared;
}

bool RDLVCrashSignalHandler::registerHandlerForSignal(int signo, lvcrash_signal_handler_callback_func callback,
                                                      void* context,
                                                      std::optional<platform::foundation::Error>* error) {
    if (!registerHandlerWithSignal(signo, error)) return false;
    lvcrash_async_list_node value{};
    value.value.callback.callback = callback;
    value.value.callback.context = context;
    lvcrash_async_list_prepend(lvcrash_signal_callback_list(), value);
    return true;
}

bool RDLVCrashSignalHandler::registerHandlerWithSignal(int signo, std::optional<platform::foundation::Error>* error) {
    std::lock_guard lock(registration_mutex);
    if (sigaltstack(&_sigstk, nullptr) != 0) {
        if (error) *error = reporter_error(errno, "Could not initialize alternative signal stack");
        return false;
    }
    // The other threads too, those to come first, so that none starts unseen between the two:
    // a stack overflow anywhere must still reach the handler.
    lvcrash_alternate_stack_for_new_threads();
    lvcrash_alternate_stack_install_on_all_threads();
    lvcrash_async_list_node forwarder{};
    forwarder.value.callback.callback = lvcrash_signal_forward_to_previous_handler;
    forwarder.value.callback.context = nullptr;
    lvcrash_async_list_append(lvcrash_signal_callback_list(), forwarder);

    lvcrash_async_list* previous = lvcrash_signal_previous_action_list();
    lvcrash_async_list_reading(previous, true);
    bool installed = false;
    for (auto* node = lvcrash_async_list_next(previous, nullptr); node && !installed;
         node = lvcrash_async_list_next(previous, node))
        installed = node->value.previous.signo == signo;
    lvcrash_async_list_reading(previous, false);
    if (installed) return true;

    struct sigaction action {};
    action.sa_sigaction = lvcrash_signal_handler_entry;
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    lvcrash_async_list_node entry{};
    entry.value.previous.signo = signo;
    if (sigaction(signo, &action, &entry.value.previous.action) != 0) {
        if (error) *error = reporter_error(errno, "Failed to register signal handler");
        return false;
    }
    lvcrash_async_list_append(previous, entry);
    return true;
}


}  // namespace lvcrash
