#pragma once
// Writing reports of this process for tests: a parked-thread pool whose threads wait inside a
// loaded Mach-O fixture, and a write into a temporary file read back as bytes.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/report_writer.hpp"

namespace report_support {

// Threads that each call into a fixture function (when given) that calls back into this
// executable, then recurse `depth` times and wait on a futex until released.
class ParkedThreads {
public:
    using FixtureFrame = long (*)(long, long (*)(long));
    ParkedThreads(std::size_t count, std::size_t depth, FixtureFrame fixture_frame);
    ~ParkedThreads();
    ParkedThreads(const ParkedThreads&) = delete;
    ParkedThreads& operator=(const ParkedThreads&) = delete;

private:
    std::vector<std::thread> threads_;
};

struct WriteOptions {
    std::uint32_t strategy = 0;
    bool with_state = true;  // describe the calling thread (crashed) or leave it out
    std::uint64_t limit = lvcrash::LVCRASH_ASYNC_REPORT_LIMIT;
    int signo = 11;
    int code = 1;
    std::uint64_t address = 0x10;
    bool with_exception = false;
    bool with_custom_data = false;
    bool leave_suspended = false;           // resume only after the write has returned
    std::size_t* parked_after_write = nullptr;  // threads still parked when it returned
};

// The bytes of a report written now on the calling thread; heap_calls receives the number of
// heap calls the calling thread made during the write itself.
std::vector<std::uint8_t> write_report(lvcrash::lvcrash_async_image_list* list, const WriteOptions& options,
                                       long* heap_calls = nullptr);

// Heap calls made by the calling thread while counting was on (-1 when the counting wrapper is
// not linked, as in sanitizer builds).
void heap_count_begin();
long heap_count_end();

}  // namespace report_support
