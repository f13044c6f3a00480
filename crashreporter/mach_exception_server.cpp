#include "crashreporter/mach_exception_server.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/exception.hpp"
#include "platform/log/system_log.hpp"

namespace lvcrash {

namespace darwin = platform::darwin;

namespace {

constexpr std::int32_t kStopMessageId = static_cast<std::int32_t>(0xDEADBEEFu);

const platform::log::SystemLog& reporterLog() {
    static const platform::log::SystemLog log("LVCrashReporter", "crash");
    return log;
}

void logInfo(const std::string& line) { reporterLog().info("[LVCrashReporter] " + line); }

[[noreturn]] void programmingError(const std::string& reason) {
    platform::foundation::Exception::raise("NSInternalInconsistencyException", reason);
}

std::size_t roundToPages(std::size_t size) {
    const std::size_t page = darwin::page_size();
    return (size + page - 1) / page * page;
}

// Stands in for vm_allocate / vm_deallocate of whole pages.
void* pagesAllocate(std::size_t size) {
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

}  // namespace

struct lvcrash_exception_server_context {
    port_t server_thread = darwin::port_null;
    port_t server_port = darwin::port_null;
    port_t notify_port = darwin::port_null;
    port_t port_set = darwin::port_null;
    lvcrash_mach_exception_server_callback callback = nullptr;
    void* callback_context = nullptr;
    pthread_mutex_t lock;
    pthread_cond_t server_cond;
    std::atomic<std::uint32_t> server_should_stop{0};
    bool server_stopped = false;
    bool thread_known = false;
};

namespace {

void reply(const darwin::MsgHeader* request, lvcrash_kern_return_t result) {
    darwin::ExceptionRaiseReply answer{};
    answer.header.msgh_bits = darwin::msgh_bits(darwin::msgh_bits_remote(request->msgh_bits), 0);
    answer.header.msgh_remote_port = request->msgh_remote_port;
    answer.header.msgh_size = sizeof answer;
    answer.header.msgh_id = request->msgh_id + 100;
    answer.ndr = darwin::ndr_record;
    answer.return_code = result;
    // A reply that cannot go out is dropped: the client's wait is bounded.
    darwin::mach_msg(&answer.header, darwin::mach_send_msg | darwin::mach_send_timeout, sizeof answer, 0,
                     darwin::port_null, 0, darwin::port_null);
}

void* lvcrash_exception_server_thread(void* argument) {
    auto* context = static_cast<lvcrash_exception_server_context*>(argument);
    pthread_mutex_lock(&context->lock);
    context->server_thread = darwin::mach_thread_self();
    context->thread_known = true;
    pthread_cond_broadcast(&context->server_cond);
    pthread_mutex_unlock(&context->lock);

    std::size_t size = roundToPages(sizeof(darwin::MachExceptionRaiseRequest));
    auto* buffer = static_cast<darwin::MsgHeader*>(pagesAllocate(size));
    if (buffer == nullptr) {
        std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", static_cast<unsigned>(darwin::kern_no_space));
        return nullptr;
    }
    for (;;) {
        int status = darwin::mach_msg(buffer, darwin::mach_rcv_msg | darwin::mach_rcv_large, 0,
                                      static_cast<std::uint32_t>(size), context->port_set, 0, darwin::port_null);
        if (status == darwin::mach_rcv_too_large) {
            std::size_t needed = roundToPages(buffer->msgh_size);
            munmap(buffer, size);
            size = needed;
            buffer = static_cast<darwin::MsgHeader*>(pagesAllocate(size));
            if (buffer == nullptr) {
                std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n",
                             static_cast<unsigned>(darwin::kern_no_space));
                return nullptr;
            }
            continue;
        }
        if (status != darwin::mach_msg_success) continue;

        if (buffer->msgh_local_port == context->notify_port) {
            if (buffer->msgh_id == darwin::mach_notify_no_senders) continue;
            if (buffer->msgh_id == kStopMessageId && context->server_should_stop.load() != 0) {
                munmap(buffer, size);
                pthread_mutex_lock(&context->lock);
                context->server_stopped = true;
                pthread_cond_broadcast(&context->server_cond);
                pthread_mutex_unlock(&context->lock);
                return nullptr;
            }
        }

        lvcrash_kern_return_t result = darwin::kern_failure;
        if (buffer->msgh_size > 83) {
            const auto* request = reinterpret_cast<const darwin::MachExceptionRaiseRequest*>(buffer);
            // A count beyond the two codes a request holds would read past it.
            std::uint32_t count = request->code_count;
            if (count > darwin::exception_code_max) count = darwin::exception_code_max;
            std::int64_t codes[darwin::exception_code_max];
            std::memcpy(codes, request->code, sizeof codes);
            result = context->callback(request->task.name, request->thread.name, request->exception, codes, count,
                                       context->callback_context);
        }
        reply(buffer, result);
    }
}

void destroyPorts(lvcrash_exception_server_context* context) {
    for (port_t port : {context->server_port, context->notify_port, context->port_set}) {
        if (port != darwin::port_null) darwin::mach_port_destroy(darwin::task_self(), port);
    }
}

}  // namespace

std::unique_ptr<RDLVCrashMachExceptionServer> RDLVCrashMachExceptionServer::create(
    lvcrash_mach_exception_server_callback callback, void* context, ReporterError* error) {
    auto* server = new lvcrash_exception_server_context();
    server->callback = callback;
    server->callback_context = context;
    if (int err = pthread_mutex_init(&server->lock, nullptr); err != 0) {
        delete server;
        setError(error, posixError(err, "Mutex initialization failed"));
        return nullptr;
    }
    if (int err = pthread_cond_init(&server->server_cond, nullptr); err != 0) {
        pthread_mutex_destroy(&server->lock);
        delete server;
        setError(error, posixError(err, "Condition initialization failed"));
        return nullptr;
    }
    // From here on a failure keeps the context: a half-built server is torn down by its owner
    // when it can be, else left, as the receiving thread might hold it.
    auto fail = [&](ReporterError value) -> std::unique_ptr<RDLVCrashMachExceptionServer> {
        destroyPorts(server);
        pthread_cond_destroy(&server->server_cond);
        pthread_mutex_destroy(&server->lock);
        delete server;
        setError(error, std::move(value));
        return nullptr;
    };
    const port_t task = darwin::task_self();
    int kr = darwin::mach_port_allocate(task, darwin::port_right_receive, &server->server_port);
    if (kr == darwin::kern_success) kr = darwin::mach_port_allocate(task, darwin::port_right_receive, &server->notify_port);
    if (kr != darwin::kern_success) return fail(machError(kr, "Failed to allocate exception server's port"));
    kr = darwin::mach_port_insert_right(task, server->notify_port, server->notify_port, darwin::msg_type_make_send);
    if (kr != darwin::kern_success) return fail(machError(kr, "Failed to add send right to exception server's port"));
    port_t previous = darwin::port_null;
    kr = darwin::mach_port_request_notification(task, server->server_port, darwin::mach_notify_no_senders, 1,
                                                server->notify_port, darwin::msg_type_make_send_once, &previous);
    if (kr != darwin::kern_success) {
        return fail(machError(kr, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port"));
    }
    kr = darwin::mach_port_allocate(task, darwin::port_right_port_set, &server->port_set);
    if (kr != darwin::kern_success) return fail(machError(kr, "Failed to allocate exception server's port set"));
    kr = darwin::mach_port_move_member(task, server->server_port, server->port_set);
    if (kr != darwin::kern_success) return fail(machError(kr, "Failed to add exception server port to port set"));
    kr = darwin::mach_port_move_member(task, server->notify_port, server->port_set);
    if (kr != darwin::kern_success) {
        return fail(machError(kr, "Failed to add exception server notify port to port set"));
    }

    pthread_attr_t attributes;
    if (int err = pthread_attr_init(&attributes); err != 0) {
        return fail(posixError(err, "Failed to initialize pthread_attr"));
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int err = pthread_create(&thread, &attributes, lvcrash_exception_server_thread, server);
    pthread_attr_destroy(&attributes);
    if (err != 0) return fail(posixError(err, "Failed to create exception server thread"));
    pthread_mutex_lock(&server->lock);
    while (!server->thread_known) pthread_cond_wait(&server->server_cond, &server->lock);
    pthread_mutex_unlock(&server->lock);
    return std::unique_ptr<RDLVCrashMachExceptionServer>(new RDLVCrashMachExceptionServer(server));
}

RDLVCrashMachExceptionServer::~RDLVCrashMachExceptionServer() {
    lvcrash_exception_server_context* context = context_;
    std::uint32_t expected = 0;
    context->server_should_stop.compare_exchange_strong(expected, 1);
    darwin::MsgHeader stop{};
    stop.msgh_bits = darwin::msgh_bits(darwin::msg_type_copy_send, 0);
    stop.msgh_size = sizeof stop;
    stop.msgh_remote_port = context->notify_port;
    stop.msgh_id = kStopMessageId;
    int status = darwin::mach_msg(&stop, darwin::mach_send_msg, sizeof stop, 0, darwin::port_null, 0, darwin::port_null);
    if (status != darwin::mach_msg_success) {
        logInfo("Unexpected error sending termination message to background thread: " + std::to_string(status));
        return;  // the thread keeps running on the context, which is therefore kept
    }
    pthread_mutex_lock(&context->lock);
    while (!context->server_stopped) pthread_cond_wait(&context->server_cond, &context->lock);
    pthread_mutex_unlock(&context->lock);
    destroyPorts(context);
    pthread_cond_destroy(&context->server_cond);
    pthread_mutex_destroy(&context->lock);
    delete context;
}

port_t RDLVCrashMachExceptionServer::copySendRightForServer(ReporterError* error) {
    pthread_mutex_lock(&context_->lock);
    int kr = darwin::mach_port_insert_right(darwin::task_self(), context_->server_port, context_->server_port,
                                            darwin::msg_type_make_send);
    pthread_mutex_unlock(&context_->lock);
    if (kr != darwin::kern_success) {
        setError(error, machError(kr, "Failed to insert Mach send right"));
        return darwin::port_null;
    }
    return context_->server_port;
}

std::optional<RDLVCrashMachExceptionPort> RDLVCrashMachExceptionServer::exceptionPortWithMask(std::uint32_t mask,
                                                                                             ReporterError* error) {
    port_t port = copySendRightForServer(error);
    if (port == darwin::port_null) return std::nullopt;
    RDLVCrashMachExceptionPort result(port, mask, darwin::exception_default | darwin::mach_exception_codes, 1);
    darwin::mach_port_deallocate(darwin::task_self(), port);  // the registration holds its own
    return result;
}

port_t RDLVCrashMachExceptionServer::serverThread() {
    if (context_ == nullptr) programmingError("No handler registered!");
    pthread_mutex_lock(&context_->lock);
    port_t thread = context_->server_thread;
    pthread_mutex_unlock(&context_->lock);
    return thread;
}

// ---- registrations ----

RDLVCrashMachExceptionPort::RDLVCrashMachExceptionPort(port_t server_port, std::uint32_t mask, std::int32_t behavior,
                                                       std::int32_t flavor)
    : server_port_(server_port), mask_(mask), behavior_(behavior), flavor_(flavor) {
    retain();
}

RDLVCrashMachExceptionPort::RDLVCrashMachExceptionPort(const RDLVCrashMachExceptionPort& other)
    : server_port_(other.server_port_), mask_(other.mask_), behavior_(other.behavior_), flavor_(other.flavor_) {
    retain();
}

RDLVCrashMachExceptionPort& RDLVCrashMachExceptionPort::operator=(const RDLVCrashMachExceptionPort& other) {
    if (this != &other) {
        other.retain();
        release();
        server_port_ = other.server_port_;
        mask_ = other.mask_;
        behavior_ = other.behavior_;
        flavor_ = other.flavor_;
    }
    return *this;
}

RDLVCrashMachExceptionPort::~RDLVCrashMachExceptionPort() { release(); }

void RDLVCrashMachExceptionPort::retain() const {
    if (server_port_ == darwin::port_null || server_port_ == darwin::port_dead) return;
    int kr = darwin::mach_port_mod_refs(darwin::task_self(), server_port_, darwin::port_right_send, 1);
    if (kr != darwin::kern_success) logInfo("Unexpected error incrementing mach port reference: " + std::to_string(kr));
}

void RDLVCrashMachExceptionPort::release() const {
    if (server_port_ == darwin::port_null || server_port_ == darwin::port_dead) return;
    int kr = darwin::mach_port_mod_refs(darwin::task_self(), server_port_, darwin::port_right_send, -1);
    if (kr != darwin::kern_success) logInfo("Unexpected error incrementing mach port reference: " + std::to_string(kr));
}

std::optional<RDLVCrashMachExceptionPortSet> RDLVCrashMachExceptionPort::exceptionPortsForTask(port_t task,
                                                                                              std::uint32_t mask,
                                                                                              ReporterError* error) {
    lvcrash_mach_exception_port_set plain{};
    plain.count = LVCRASH_EXC_TYPES_COUNT;
    int kr = darwin::task_get_exception_ports(task, mask, plain.masks, &plain.count, plain.ports, plain.behaviors,
                                              plain.flavors);
    if (kr != darwin::kern_success) {
        setError(error, machError(kr, "Failed to fetch mach exception ports"));
        return std::nullopt;
    }
    return RDLVCrashMachExceptionPortSet(plain);
}

std::optional<RDLVCrashMachExceptionPortSet> RDLVCrashMachExceptionPort::exceptionPortsForThread(port_t thread,
                                                                                                std::uint32_t mask,
                                                                                                ReporterError* error) {
    lvcrash_mach_exception_port_set plain{};
    plain.count = LVCRASH_EXC_TYPES_COUNT;
    int kr = darwin::thread_get_exception_ports(thread, mask, plain.masks, &plain.count, plain.ports, plain.behaviors,
                                                plain.flavors);
    if (kr != darwin::kern_success) {
        setError(error, machError(kr, "Failed to fetch mach exception ports"));
        return std::nullopt;
    }
    return RDLVCrashMachExceptionPortSet(plain);
}

bool RDLVCrashMachExceptionPort::registerForTask(port_t task, std::optional<RDLVCrashMachExceptionPortSet>* previous,
                                                 ReporterError* error) const {
    lvcrash_mach_exception_port_set plain{};
    plain.count = LVCRASH_EXC_TYPES_COUNT;
    int kr = darwin::task_swap_exception_ports(task, mask_, server_port_, behavior_, flavor_, plain.masks, &plain.count,
                                               plain.ports, plain.behaviors, plain.flavors);
    if (kr != darwin::kern_success) {
        setError(error, machError(kr, "Failed to swap mach exception ports"));
        return false;
    }
    RDLVCrashMachExceptionPortSet replaced(plain);  // takes the handed-out rights either way
    if (previous != nullptr) previous->emplace(std::move(replaced));
    return true;
}

bool RDLVCrashMachExceptionPort::registerForThread(port_t thread,
                                                   std::optional<RDLVCrashMachExceptionPortSet>* previous,
                                                   ReporterError* error) const {
    lvcrash_mach_exception_port_set plain{};
    plain.count = LVCRASH_EXC_TYPES_COUNT;
    int kr = darwin::thread_swap_exception_ports(thread, mask_, server_port_, behavior_, flavor_, plain.masks,
                                                 &plain.count, plain.ports, plain.behaviors, plain.flavors);
    if (kr != darwin::kern_success) {
        setError(error, machError(kr, "Failed to swap mach exception ports"));
        return false;
    }
    RDLVCrashMachExceptionPortSet replaced(plain);
    if (previous != nullptr) previous->emplace(std::move(replaced));
    return true;
}

RDLVCrashMachExceptionPort::Set::Set(std::vector<RDLVCrashMachExceptionPort> set) : set_(std::move(set)) {
    if (set_.size() > LVCRASH_EXC_TYPES_COUNT) {
        programmingError("Set size of " + std::to_string(set_.size()) + " exceeds EXC_TYPES_COUNT (" +
                         std::to_string(LVCRASH_EXC_TYPES_COUNT) + ")");
    }
    plain_.count = static_cast<std::uint32_t>(set_.size());
    for (std::size_t i = 0; i < set_.size(); ++i) {
        plain_.masks[i] = set_[i].mask();
        plain_.ports[i] = set_[i].server_port();
        plain_.behaviors[i] = set_[i].behavior();
        plain_.flavors[i] = set_[i].flavor();
    }
}

RDLVCrashMachExceptionPort::Set::Set(const lvcrash_mach_exception_port_set& plain) {
    if (plain.count > LVCRASH_EXC_TYPES_COUNT) {
        programmingError("Count of " + std::to_string(plain.count) + " exceeds EXC_TYPES_COUNT (" +
                         std::to_string(LVCRASH_EXC_TYPES_COUNT) + ")");
    }
    set_.reserve(plain.count);
    for (std::uint32_t i = 0; i < plain.count; ++i) {
        set_.emplace_back(plain.ports[i], plain.masks[i], plain.behaviors[i], plain.flavors[i]);
        port_t port = plain.ports[i];
        if (port == darwin::port_null || port == darwin::port_dead) continue;
        int kr = darwin::mach_port_mod_refs(darwin::task_self(), port, darwin::port_right_send, -1);
        if (kr != darwin::kern_success) {
            logInfo("Unexpected error decrementing mach port reference: " + std::to_string(kr));
        }
    }
    plain_ = plain;
}

}  // namespace lvcrash
