// Registers the crash callback for a report path, then crashes as told:
//   crash_child <report path> <case>
// Built without frame pointers and with its symbol table, so its frames come from the unwind
// tables and its names from the symbol tables. Exit statuses: 2 bad use, 3 set-up failed,
// 4 survived a crash that should have ended it; other cases exit with their own status.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crashreporter/alternate_stack.hpp"
#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/mach_exception_crash.hpp"
#include "crashreporter/fixture_support.hpp"
#include "crashreporter/signal_handler.hpp"
#include "crashreporter/stack_overflow.hpp"
#include "platform/darwin/macho_loader.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/mach.hpp"
#include "platform/darwin/thread_control.hpp"

using namespace lvcrash;

extern std::atomic<int> crash_child_hold_tid;
extern std::atomic<int> crash_child_held;

namespace {

lvcrash_async_image_list image_list;
lvcrash_crash_context crash_context{};
// Made at set-up: the crash path (handleSignal included) must not touch the heap.
std::string handled_marker, parked_file, stack_file, elapsed_file;
std::atomic<int> threads_ready{0};

void on_add(const void* header, std::intptr_t) {
    platform::darwin::ImageAtAddress at;
    std::string name;
    if (platform::darwin::loader_image_containing_address(header, &at)) name = at.name;
    lvcrash_async_image_list_append(&image_list, reinterpret_cast<lvcrash_vm_address_t>(header), name.c_str());
}

void on_remove(const void* header, std::intptr_t) {
    lvcrash_async_image_list_remove(&image_list, reinterpret_cast<lvcrash_vm_address_t>(header));
}

// The alternate stack the main thread crashes on, when measured.
constexpr unsigned char kStackPattern = 0xa5;
void* measured_stack = nullptr;

void write_number(const std::string& file, std::size_t value) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char digits[24];
    int at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    (void)!write(fd, digits + at, sizeof digits - at);
    close(fd);
}

// When the fault was about to happen (benchmark case).
timespec fault_time{};

// Appends one line per call, so that the test sees how often it ran.
void handle_signal(siginfo_t* info, ucontext_t*, void*) {
    if (fault_time.tv_sec != 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        write_number(elapsed_file, static_cast<std::size_t>((now.tv_sec - fault_time.tv_sec) * 1000000000L +
                                                                          (now.tv_nsec - fault_time.tv_nsec)));
    }
    // The others are still parked while this runs.
    write_number(parked_file, platform::darwin::thread_control_parked_count());
    if (measured_stack)
        write_number(stack_file,
                     lvcrash_alternate_stack_used(measured_stack, LVCRASH_ALTERNATE_STACK_SIZE, kStackPattern));
    const int fd = open(handled_marker.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    char line[16] = "signal   \n";
    line[7] = static_cast<char>('0' + info->si_signo / 10);
    line[8] = static_cast<char>('0' + info->si_signo % 10);
    (void)!write(fd, line, 10);
    close(fd);
}

// With GW_CRASH_CHILD_FACADE set to a signal handler type, the reporter object does the set-up:
// its report folder (under a "facade" folder beside path) is linked from path.
bool set_up_facade(const char* path, std::uint64_t type) {
    handled_marker = std::string(path) + ".handled";
    parked_file = handled_marker + ".parked";
    stack_file = handled_marker + ".stack";
    elapsed_file = handled_marker + ".elapsed";
    const std::string folder = std::string(path).substr(0, std::string(path).rfind('/')) + "/facade";
    auto* reporter = new RDLVCrashReporter("com.norvane.glyphwright.crash-child", "1", "1.0",
                                           RDLVCrashReporterConfig(type, 3, true, folder));
    LVCrashReporterCallbacks callbacks{0, nullptr, handle_signal};
    reporter->setCrashCallbacks(&callbacks);
    ReporterError error;
    if (!reporter->enableCrashReporterAndReturnError(&error)) {
        std::fprintf(stderr, "%s\n", error.message.c_str());
        return false;
    }
    crash_context.writer = lvcrash_mach_crash_context_shared()->writer;
    return symlink(reporter->crashReportDirectory().c_str(), path) == 0;
}

bool set_up(const char* path) {
    if (const char* facade = std::getenv("GW_CRASH_CHILD_FACADE")) return set_up_facade(path, std::strtoull(facade, nullptr, 10));
    if (!platform::darwin::thread_control_install()) return false;
    if (lvcrash_async_image_list_init(&image_list, platform::darwin::task_self()) != LVCRASH_ERROR_NONE) return false;
    platform::darwin::loader_register_add_image(on_add);
    platform::darwin::loader_register_remove_image(on_remove);
    auto* writer = new lvcrash_log_writer_t;
    if (lvcrash_log_writer_init(writer, "com.norvane.glyphwright.crash-child", "1", "1.0", 3, false) !=
        LVCRASH_ERROR_NONE)
        return false;
    handled_marker = std::string(path) + ".handled";
    parked_file = handled_marker + ".parked";
    stack_file = handled_marker + ".stack";
    elapsed_file = handled_marker + ".elapsed";
    crash_context.writer = writer;
    const std::string report = path;
    const std::size_t slash = report.rfind('/');
    crash_context.report.folder_fd = open(report.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    crash_context.report.name = strdup(report.c_str() + slash + 1);
    if (crash_context.report.folder_fd < 0) return false;
    crash_context.image_list = &image_list;
    crash_context.handleSignal = handle_signal;
    RDLVCrashSignalHandler* handler = RDLVCrashSignalHandler::sharedHandler();
    if (!handler) return false;
    for (int signo : lvcrash_monitored_signals) {
        std::optional<platform::foundation::Error> error;
        if (!handler->registerHandlerForSignal(signo, lvcrash_signal_crash_callback, &crash_context, &error)) {
            std::fprintf(stderr, "%s\n", error ? error->what() : "registration failed");
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" {

// Opaque to the optimiser, which would otherwise drop or replace a store through null.
volatile int* volatile null_pointer = nullptr;

__attribute__((noinline)) void crash_null_write() {
    *null_pointer = 1;
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_guard_page() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_truncated_mapping(const char* path) {
    const std::string file = std::string(path) + ".mapped";
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    (void)!ftruncate(fd, 8192);
    auto* bytes = static_cast<volatile char*>(mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    (void)!ftruncate(fd, 0);
    unlink(file.c_str());
    (void)bytes[4096];
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_illegal_instruction() {
    asm volatile("ud2");
}

__attribute__((noinline)) int crash_divide(int a, int b) {
    int q;
    asm volatile("cltd\n\tidivl %2" : "=a"(q) : "a"(a), "r"(b) : "edx");
    return q;
}

__attribute__((noinline)) void crash_breakpoint() {
    asm volatile("int3");
}

__attribute__((noinline)) void crash_abort() {
    abort();
}

__attribute__((noinline)) void crash_on_thread_body() {
    crash_null_write();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_usr1_handler(int) {
    crash_null_write();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_interrupted_loop() {
    raise(SIGUSR1);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) long crash_fixture_callback(long) {
    crash_null_write();
    asm volatile("" ::: "memory");
    return 0;
}

__attribute__((noinline)) void crash_blocking_stop_signal() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, platform::darwin::thread_control_stop_signal());
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    threads_ready.fetch_add(1);
    for (;;) pause();
}

__attribute__((noinline)) void crash_in_malloc() {
    crash_child_hold_tid.store(static_cast<int>(syscall(SYS_gettid)));
    void* p = malloc(64);
    asm volatile("" : : "r"(p) : "memory");
}

std::atomic<int> both_go{0};

__attribute__((noinline)) void crash_together() {
    threads_ready.fetch_add(1);
    while (both_go.load() == 0) {
    }
    crash_null_write();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void crash_wait_forever() {
    threads_ready.fetch_add(1);
    for (;;) pause();
}

}  // extern "C"

namespace {

void start_waiting_threads(int count) {
    for (int i = 0; i < count; ++i) std::thread(crash_wait_forever).detach();
    while (threads_ready.load() < count) std::this_thread::yield();
}

__attribute__((noinline)) void crash_compute_forever() {
    threads_ready.fetch_add(1);
    for (volatile unsigned long spin = 0;;) spin = spin + 1;
}

void start_busy_threads(int count) {
    for (int i = 0; i < count; ++i) std::thread(crash_compute_forever).detach();
    while (threads_ready.load() < count) std::this_thread::yield();
}

std::atomic<int> early_go{0};

// Chain cases: no crash callback, SIGUSR2 forwarded to what was installed before.
volatile int previous_calls = 0;
char order[8];
volatile int order_length = 0;

void previous_plain(int) { previous_calls = previous_calls + 1; }
void previous_siginfo(int, siginfo_t* info, void*) {
    if (info && info->si_signo == SIGUSR2) previous_calls = previous_calls + 1;
}

bool older_callback(int, siginfo_t*, ucontext_t*, void*, lvcrash_signal_handler_callback*) {
    order[order_length] = 'o';
    order_length = order_length + 1;
    return true;
}

bool newer_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context, lvcrash_signal_handler_callback* next) {
    order[order_length] = 'n';
    order_length = order_length + 1;
    return context ? lvcrash_signal_handler_callback_next(next, signo, info, uap) : true;
}

// Runs ahead of the crash callback, then checks what it left behind.
bool after_crash_callback(int signo, siginfo_t* info, ucontext_t* uap, void*, lvcrash_signal_handler_callback* next) {
    const bool handled = lvcrash_signal_handler_callback_next(next, signo, info, uap);
    for (int monitored : lvcrash_monitored_signals) {
        struct sigaction now {};
        sigaction(monitored, nullptr, &now);
        if (now.sa_handler != SIG_DFL || (now.sa_flags & SA_SIGINFO)) _exit(51);
    }
    _exit(handled ? 52 : 50);
}

int chain_case(const std::string& what) {
    struct sigaction before {};
    sigemptyset(&before.sa_mask);
    before.sa_handler = SIG_DFL;
    if (what == "prev-ign") before.sa_handler = SIG_IGN;
    if (what == "prev-plain") before.sa_handler = previous_plain;
    if (what == "prev-siginfo") {
        before.sa_sigaction = previous_siginfo;
        before.sa_flags = SA_SIGINFO;
    }
    sigaction(SIGUSR2, &before, nullptr);
    RDLVCrashSignalHandler* handler = RDLVCrashSignalHandler::sharedHandler();
    std::optional<platform::foundation::Error> error;
    if (what == "kill-refused") {
        const bool refused = !handler->registerHandlerWithSignal(SIGKILL, &error) && error &&
                             error->domain() == "LVCrashReporterErrorDomain" && error->code() == 1 &&
                             std::string(error->what()) == "Failed to register signal handler";
        return refused && lvcrash_async_list_count(lvcrash_signal_previous_action_list()) == 0 ? 60 : 61;
    }
    if (what == "twice") {
        if (!handler->registerHandlerWithSignal(SIGUSR2, &error) || !handler->registerHandlerWithSignal(SIGUSR2, &error))
            return 3;
        struct sigaction now {};
        sigaction(SIGUSR2, nullptr, &now);
        const bool ours = (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == lvcrash_signal_handler_entry &&
                          (now.sa_flags & SA_ONSTACK);
        return ours && lvcrash_async_list_count(lvcrash_signal_callback_list()) == 2 &&
                       lvcrash_async_list_count(lvcrash_signal_previous_action_list()) == 1
                   ? 30
                   : 31;
    }
    if (what == "newer-only" || what == "newer-then-older") {
        void* pass_on = what == "newer-then-older" ? &order : nullptr;
        if (!handler->registerHandlerForSignal(SIGUSR2, older_callback, nullptr, &error) ||
            !handler->registerHandlerForSignal(SIGUSR2, newer_callback, pass_on, &error))
            return 3;
        raise(SIGUSR2);
        if (order_length == 1 && order[0] == 'n') return 40;
        if (order_length == 2 && order[0] == 'n' && order[1] == 'o') return 41;
        return 42;
    }
    if (!handler->registerHandlerWithSignal(SIGUSR2, &error)) return 3;
    raise(SIGUSR2);
    return 10 + previous_calls;
}

void* early_thread_body(void*) {
    threads_ready.fetch_add(1);
    while (early_go.load() == 0) std::this_thread::yield();
    crash_recurse_forever(0);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const char* path = argv[1];
    const std::string what = argv[2];
    if (what.starts_with("prev-") || what == "twice" || what == "kill-refused" || what.starts_with("newer-")) return chain_case(what);
    if (what == "overflow-early-thread") {
        // Made before registration and past the interposed pthread_create: only the stop signal
        // can give it an alternate stack.
        using create_function = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
        auto libc_create = reinterpret_cast<create_function>(dlvsym(RTLD_NEXT, "pthread_create", "GLIBC_2.34"));
        pthread_t early;
        if (!libc_create || libc_create(&early, nullptr, early_thread_body, nullptr) != 0) return 3;
        while (threads_ready.load() < 1) std::this_thread::yield();
        if (!set_up(path)) return 3;
        early_go.store(1);
        pthread_join(early, nullptr);
        return 4;
    }
    if (!set_up(path)) return 3;
    if (what == "defaults-after") {
        std::optional<platform::foundation::Error> error;
        RDLVCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, after_crash_callback, nullptr, &error);
        crash_null_write();
    } else if (what == "null-write") crash_null_write();
    else if (what == "guard-page") crash_guard_page();
    else if (what == "bus") crash_truncated_mapping(path);
    else if (what == "ill") crash_illegal_instruction();
    else if (what == "fpe") {
        volatile int zero = 0;
        return crash_divide(1, zero) == 7 ? 4 : 5;
    } else if (what == "trap") crash_breakpoint();
    else if (what == "abort") crash_abort();
    else if (what == "overflow-main") return crash_recurse_forever(0) == 7 ? 4 : 5;
    else if (what == "overflow-thread") {
        std::thread([] { crash_recurse_forever(0); }).join();
    } else if (what == "thread") {
        std::thread(crash_on_thread_body).join();
    } else if (what == "usr1") {
        signal(SIGUSR1, crash_usr1_handler);
        crash_interrupted_loop();
    } else if (what == "threads-50") {
        start_waiting_threads(49);
        crash_null_write();
    } else if (what == "two-at-once") {
        std::thread a(crash_together), b(crash_together);
        while (threads_ready.load() < 2) std::this_thread::yield();
        both_go.store(1);
        a.join();
        b.join();
    } else if (what == "malloc-held") {
#if defined(GW_NO_HEAP_WRAPPER)
        return 77;
#endif
        std::thread(crash_in_malloc).detach();
        while (crash_child_held.load() == 0) std::this_thread::yield();
        crash_null_write();
    } else if (what == "blocked-stop") {
        std::thread(crash_blocking_stop_signal).detach();
        while (threads_ready.load() < 1) std::this_thread::yield();
        crash_null_write();
    } else if (what == "fault-in-write") {
        // A text the writer copies from an address that faults.
        crash_context.writer->application_info.identifier.data = reinterpret_cast<char*>(16);
        crash_illegal_instruction();
    } else if (what == "proc-hidden") {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            return 77;
        std::thread(crash_wait_forever).detach();
        while (threads_ready.load() < 1) std::this_thread::yield();
        crash_null_write();
    } else if (what.starts_with("time-")) {
        // time-<threads>-<idle|busy>: the crashing thread among others that wait or compute.
        const int threads = std::atoi(what.c_str() + 5);
        if (threads < 1 || threads > 1000) return 2;
        if (what.ends_with("-busy")) start_busy_threads(threads - 1);
        else start_waiting_threads(threads - 1);
        clock_gettime(CLOCK_MONOTONIC, &fault_time);
        crash_null_write();
    } else if (what == "stack-50") {
        measured_stack = mmap(nullptr, LVCRASH_ALTERNATE_STACK_SIZE, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memset(measured_stack, kStackPattern, LVCRASH_ALTERNATE_STACK_SIZE);
        stack_t own{};
        own.ss_sp = measured_stack;
        own.ss_size = LVCRASH_ALTERNATE_STACK_SIZE;
        if (sigaltstack(&own, nullptr) != 0) return 3;
        start_waiting_threads(49);
        crash_null_write();
    } else if (what == "macho-fixture") {
        auto fixture = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 0, {}});
        auto frame = reinterpret_cast<long (*)(long, long (*)(long))>(fixture->symbol("_fixture_frame"));
        if (!frame) return 3;
        return frame(1, crash_fixture_callback) == 7 ? 4 : 5;
    } else if (what == "dlopen") {
        void* library = dlopen(CRASH_LIBRARY_PATH, RTLD_NOW);
        auto fault = library ? reinterpret_cast<int (*)(volatile int*)>(dlsym(library, "crash_library_fault")) : nullptr;
        if (!fault) return 3;
        return fault(null_pointer) == 7 ? 4 : 5;
    } else if (what == "folder-removed") {
        const std::string folder = std::string(path).substr(0, std::string(path).rfind('/'));
        if (rmdir(folder.c_str()) != 0) return 3;
        crash_null_write();
    } else {
        return 2;
    }
    return 4;
}
