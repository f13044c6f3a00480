#include "crashreporter/report_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/futex.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/darwin/thread_control.hpp"

namespace {

std::atomic<int> release_flag{0};
std::atomic<std::size_t> parked_count{0};
thread_local std::size_t recursion_depth = 0;

}  // namespace

// The innermost frame of every parked thread: it waits until the pool is released.
extern "C" __attribute__((noinline)) void report_support_park_here() {
    parked_count.fetch_add(1);
    while (release_flag.load() == 0)
        syscall(SYS_futex, reinterpret_cast<int*>(&release_flag), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline)) long report_support_recurse(long remaining) {
    if (remaining <= 0) {
        report_support_park_here();
        return 0;
    }
    const long result = report_support_recurse(remaining - 1) + 1;
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump
    return result;
}

extern "C" __attribute__((noinline)) long report_support_fixture_callback(long) {
    const long result = report_support_recurse(static_cast<long>(recursion_depth)) + 1;
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump
    return result;
}

namespace report_support {

ParkedThreads::ParkedThreads(std::size_t count, std::size_t depth, FixtureFrame fixture_frame) {
    platform::darwin::thread_control_install();
    release_flag.store(0);
    parked_count.store(0);
    for (std::size_t i = 0; i < count; ++i) {
        threads_.emplace_back([depth, fixture_frame] {
            recursion_depth = depth;
            if (fixture_frame) fixture_frame(1, report_support_fixture_callback);
            else report_support_fixture_callback(0);
        });
    }
    while (parked_count.load() < count) std::this_thread::yield();
}

ParkedThreads::~ParkedThreads() {
    release_flag.store(1);
    syscall(SYS_futex, reinterpret_cast<int*>(&release_flag), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    for (auto& thread : threads_) thread.join();
}

namespace {

struct WriteCall {
    lvcrash::lvcrash_log_writer_t* writer;
    lvcrash::lvcrash_async_image_list* list;
    lvcrash::lvcrash_async_file_t* file;
    const lvcrash::lvcrash_log_writer_signal_info* signal;
    bool with_state;
    bool leave_suspended;
};

lvcrash::lvcrash_error_t write_with_state(lvcrash::lvcrash_async_thread_state* state, void* context) {
    auto* call = static_cast<WriteCall*>(context);
    return lvcrash::lvcrash_log_writer_write(call->writer, platform::darwin::mach_thread_self(), call->list, call->file,
                                             call->signal, call->with_state ? state : nullptr,
                                             call->leave_suspended);
}

}  // namespace

std::vector<std::uint8_t> write_report(lvcrash::lvcrash_async_image_list* list, const WriteOptions& options,
                                       long* heap_calls) {
    using namespace lvcrash;
    platform::darwin::thread_control_install();
    auto* writer = new lvcrash_log_writer_t;
    lvcrash_log_writer_init(writer, "com.norvane.glyphwright.tests", "42", nullptr, options.strategy, false);
    if (options.with_exception) {
        const std::uint64_t addresses[] = {reinterpret_cast<std::uint64_t>(&report_support_recurse) + 4,
                                           reinterpret_cast<std::uint64_t>(&report_support_park_here) + 4};
        RDlvcrash_log_writer_set_exception(writer, "NSInvalidArgumentException", "a test reason", addresses, 2);
    }
    if (options.with_custom_data) lvcrash_log_writer_set_custom_data(writer, "custom", 6);
    char path[] = "/tmp/gw-report-XXXXXX";
    const int fd = mkstemp(path);
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, options.limit);
    const lvcrash_log_writer_signal_info signal{options.signo, options.code, options.address, false, 0, nullptr, 0};
    WriteCall call{writer, list, &file, &signal, options.with_state, options.leave_suspended};
    heap_count_begin();
    lvcrash_async_thread_state_current(write_with_state, &call);
    const long calls = heap_count_end();
    if (heap_calls) *heap_calls = calls;
    if (options.parked_after_write) *options.parked_after_write = platform::darwin::thread_control_parked_count();
    lvcrash_log_writer_resume_threads(writer);
    lvcrash_async_file_close(&file);
    lvcrash_log_writer_free(writer);
    delete writer;
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return bytes;
}

}  // namespace report_support
