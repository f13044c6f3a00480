#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <cerrno>
#include <unistd.h>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/async.hpp"

using namespace lvcrash;

namespace {

std::string read_fd(int fd) {
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

int temp_fd() {
    char path[] = "/tmp/lvcrash-async-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    return fd;
}

}  // namespace

TEST(AsyncUtilities, ErrorMessagesCoverEveryCodeAndRefuseOthers) {
    EXPECT_STREQ(lvcrash_async_strerror(LVCRASH_ERROR_NONE), "No error");
    EXPECT_STREQ(lvcrash_async_strerror(LVCRASH_ERROR_NOT_FOUND), "Not found");
    EXPECT_STREQ(lvcrash_async_strerror(LVCRASH_ERROR_INVALID_DATA),
                 "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(lvcrash_async_strerror(10), "Unhandled error code");
    EXPECT_STREQ(lvcrash_async_strerror(UINT32_MAX), "Unhandled error code");
}

TEST(AsyncUtilities, ByteOrdersConvertEachWidth) {
    const auto* swapped = lvcrash_async_byteorder_swapped();
    const auto* direct = lvcrash_async_byteorder_direct();
    EXPECT_EQ(swapped->swap16(0x1234), 0x3412);
    EXPECT_EQ(swapped->swap32(0x12345678u), 0x78563412u);
    EXPECT_EQ(swapped->swap64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(direct->swap32(0x12345678u), 0x12345678u);
    EXPECT_EQ(lvcrash_async_byteorder_little_endian(), direct);  // this host is little-endian
    EXPECT_EQ(lvcrash_async_byteorder_big_endian(), swapped);
}

TEST(AsyncUtilities, ApplyOffsetRefusesWrapsWithoutSignedOverflow) {
    struct Case {
        std::uint64_t base;
        std::int64_t offset;
        bool ok;
        std::uint64_t sum;
    };
    const Case cases[] = {
        {UINT64_MAX, 1, false, 0},
        {0, -1, false, 0},
        {16, -16, true, 0},
        {16, 16, true, 32},
        {UINT64_MAX, 0, true, UINT64_MAX},
        {0, INT64_MIN, false, 0},
        {0x8000000000000000ull, INT64_MIN, true, 0},
        {0x7fffffffffffffffull, INT64_MIN, false, 0},
        {0x8000000000000000ull, INT64_MAX, true, UINT64_MAX},
        {0x8000000000000001ull, INT64_MAX, false, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t sum = 12345;
        EXPECT_EQ(lvcrash_async_address_apply_offset(c.base, c.offset, &sum), c.ok) << c.base << " " << c.offset;
        if (c.ok) EXPECT_EQ(sum, c.sum);
        else EXPECT_EQ(sum, 12345u);
        EXPECT_EQ(lvcrash_async_address_apply_offset(c.base, c.offset, nullptr), c.ok);
    }
}

TEST(AsyncUtilities, TaskReadsMapKernelResultsAndByteOrders) {
    const task_t self = platform::darwin::task_self();
    const std::size_t page = platform::darwin::page_size();
    auto* pages = static_cast<unsigned char*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);  // a guard page
    ASSERT_EQ(munmap(pages + 2 * page, page), 0);           // a hole
    const std::uint32_t value = 0x11223344;
    std::memcpy(pages + page - 4, &value, 4);
    const auto base = reinterpret_cast<std::uint64_t>(pages);

    std::uint32_t out32 = 0;
    EXPECT_EQ(lvcrash_async_task_read_uint32(self, lvcrash_async_byteorder_direct(), base, page - 4, &out32),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(out32, value);
    EXPECT_EQ(lvcrash_async_task_read_uint32(self, lvcrash_async_byteorder_swapped(), base + page, -4, &out32),
              LVCRASH_ERROR_NONE);
    EXPECT_EQ(out32, 0x44332211u);
    std::uint64_t out64 = 0;
    // Straddles into the guard page; then wholly in the guard page; then in the hole.
    EXPECT_EQ(lvcrash_async_task_read_uint64(self, lvcrash_async_byteorder_direct(), base, page - 4, &out64),
              LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(lvcrash_async_task_read_uint64(self, lvcrash_async_byteorder_direct(), base, page, &out64),
              LVCRASH_ERROR_NOT_FOUND);
    std::uint16_t out16 = 0;
    EXPECT_EQ(lvcrash_async_task_read_uint16(self, lvcrash_async_byteorder_direct(), base + 2 * page, 0, &out16),
              LVCRASH_ERROR_NOT_FOUND);
    char dest[16];
    EXPECT_EQ(lvcrash_async_task_memcpy(self, UINT64_MAX - 7, 0, dest, 16), LVCRASH_ERROR_NOT_FOUND);
    EXPECT_EQ(lvcrash_async_task_memcpy(self, UINT64_MAX, 1, dest, 1), LVCRASH_ERROR_NO_MEMORY);
    EXPECT_EQ(lvcrash_async_task_memcpy(self, 0, INT64_MIN, dest, 1), LVCRASH_ERROR_NO_MEMORY);
    EXPECT_EQ(lvcrash_async_task_memcpy(self + 1, base, 0, dest, 1), LVCRASH_ERROR_UNKNOWN);
    munmap(pages, 2 * page);
}

TEST(AsyncUtilities, StringAndMemoryPrimitivesMatchTheLibrary) {
    const char* words[] = {"", "a", "ab", "abc", "abd", "b", "\xff", "ab\xff"};
    for (const char* a : words)
        for (const char* b : words) {
            const int ours = lvcrash_async_strcmp(a, b);
            const int theirs = std::strcmp(a, b);
            EXPECT_EQ(ours < 0, theirs < 0) << a << "|" << b;
            EXPECT_EQ(ours == 0, theirs == 0) << a << "|" << b;
            for (std::size_t n = 0; n < 4; ++n) {
                EXPECT_EQ(lvcrash_async_strncmp(a, b, n) == 0, std::strncmp(a, b, n) == 0) << a << "|" << b << n;
                EXPECT_EQ(lvcrash_async_strncmp(a, b, n) < 0, std::strncmp(a, b, n) < 0) << a << "|" << b << n;
            }
        }
    EXPECT_EQ(lvcrash_async_strcmp("a", "c"), 'a' - 'c');
    char buf[8] = "xxxxxxx";
    lvcrash_async_memset(buf, 'y', 0);
    EXPECT_STREQ(buf, "xxxxxxx");
    lvcrash_async_memset(buf + 1, 'y', 3);
    EXPECT_STREQ(buf, "xyyyxxx");
    lvcrash_async_memcpy(buf, "abc", 3);
    EXPECT_STREQ(buf, "abcyxxx");
    EXPECT_EQ(lvcrash_async_strlen(buf), 7u);
}

TEST(AsyncFile, LimitBufferingAndDirectWrites) {
    const int fd = temp_fd();
    ASSERT_GE(fd, 0);
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, fd, 10);
    EXPECT_TRUE(lvcrash_async_file_write(&file, "12345678", 8));
    EXPECT_FALSE(lvcrash_async_file_write(&file, "abcd", 4));
    EXPECT_EQ(file.total_bytes, 8u);
    EXPECT_TRUE(lvcrash_async_file_write(&file, "xy", 2));
    EXPECT_FALSE(lvcrash_async_file_write(&file, "z", 1));
    EXPECT_EQ(read_fd(fd), "");  // still buffered
    EXPECT_TRUE(lvcrash_async_file_flush(&file));
    EXPECT_EQ(read_fd(fd), "12345678xy");

    // 300 bytes bypass the buffer; 200 then 100 bytes flush the 200 before buffering the 100.
    const int fd2 = temp_fd();
    lvcrash_async_file_init(&file, fd2, 0);
    const std::string big(300, 'b');
    EXPECT_TRUE(lvcrash_async_file_write(&file, big.data(), big.size()));
    EXPECT_EQ(file.buflen, 0u);
    EXPECT_EQ(read_fd(fd2), big);
    const std::string first(200, '1'), second(100, '2');
    EXPECT_TRUE(lvcrash_async_file_write(&file, first.data(), first.size()));
    EXPECT_EQ(file.buflen, 200u);
    EXPECT_TRUE(lvcrash_async_file_write(&file, second.data(), second.size()));
    EXPECT_EQ(file.buflen, 100u);
    EXPECT_EQ(read_fd(fd2), big + first);
    EXPECT_TRUE(lvcrash_async_file_close(&file));
    EXPECT_EQ(fcntl(fd2, F_GETFD), -1);  // closed

    // A failing descriptor: the flush fails and keeps its bytes, close leaves the descriptor alone.
    lvcrash_async_file_init(&file, -1, 0);
    EXPECT_TRUE(lvcrash_async_file_write(&file, "abc", 3));
    EXPECT_FALSE(lvcrash_async_file_flush(&file));
    EXPECT_EQ(file.buflen, 3u);
    EXPECT_FALSE(lvcrash_async_file_close(&file));
    EXPECT_FALSE(lvcrash_async_file_write(&file, big.data(), big.size()));
    close(fd);
}

TEST(AsyncFile, WritenRetriesPartialWritesThroughAPipe) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const std::string text(1000, 'q');
    EXPECT_EQ(lvcrash_async_writen(p[1], text.data(), text.size()), 1000);
    close(p[1]);
    EXPECT_EQ(read_fd(p[0]), text);
    EXPECT_EQ(lvcrash_async_writen(p[1], "x", 1), -1);
    close(p[0]);
}

TEST(SignalTables, NamesUseTheHostNumbers) {
    struct Name {
        int signal;
        const char* name;
    };
    const Name names[] = {{SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGUSR1, "SIGUSR1"},
                          {SIGSEGV, "SIGSEGV"}, {SIGSYS, "SIGSYS"},   {SIGSTKFLT, "SIGSTKFLT"},
                          {SIGPWR, "SIGPWR"},   {SIGCHLD, "SIGCHLD"}, {SIGIO, "SIGIO"}};
    for (const auto& n : names) EXPECT_STREQ(lvcrash_async_signal_signame(n.signal), n.name);
    EXPECT_EQ(lvcrash_async_signal_signame(0), nullptr);
    EXPECT_EQ(lvcrash_async_signal_signame(SIGRTMIN), nullptr);

    struct Code {
        int signal, code;
        const char* name;
    };
    const Code codes[] = {
        {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
        {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
        {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
        {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},   {SIGTRAP, 0, "#0"},
        {SIGABRT, 0, "#0"},                    {SIGILL, 0, "ILL_NOOP"},
    };
    for (const auto& c : codes) EXPECT_STREQ(lvcrash_async_signal_sigcode(c.signal, c.code), c.name);
    EXPECT_EQ(lvcrash_async_signal_sigcode(SIGSEGV, 9), nullptr);
    EXPECT_EQ(lvcrash_async_signal_sigcode(SIGABRT, 1), nullptr);
}

TEST(SetupHelpers, SysctlAnswersHostFacts) {
    char* release = lvcrash_sysctl_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    utsname uts{};
    uname(&uts);
    EXPECT_STREQ(release, uts.release);
    std::free(release);
    char* version = lvcrash_sysctl_string("kern.osversion");
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, uts.version);
    std::free(version);
    errno = 0;
    EXPECT_EQ(lvcrash_sysctl_string("no.such.name"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    std::int32_t value = 0;
    ASSERT_TRUE(lvcrash_sysctl_int("hw.logicalcpu", &value));
    EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_ONLN));
    std::int32_t physical = 0;
    ASSERT_TRUE(lvcrash_sysctl_int("hw.physicalcpu", &physical));
    EXPECT_GE(physical, 1);
    EXPECT_LE(physical, value);
    ASSERT_TRUE(lvcrash_sysctl_int("hw.cputype", &value));
#if defined(__x86_64__)
    EXPECT_EQ(value, 0x01000007);
#endif
    EXPECT_FALSE(lvcrash_sysctl_int("no.such.name", &value));

    // hw.model is the DMI product name, or none where the machine doesn't tell it.
    std::ifstream dmi("/sys/class/dmi/id/product_name");
    std::string product;
    std::getline(dmi, product);
    while (!product.empty() && product.back() == ' ') product.pop_back();
    char* model = lvcrash_sysctl_string("hw.model");
    if (product.empty()) {
        EXPECT_EQ(model, nullptr);
    } else {
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(product, model);
    }
    std::free(model);
}

TEST(AsyncUtilities, ThreadPortsNameKernelThreads) {
    const thread_t mine = lvcrash_async_mach_thread_self();
    EXPECT_EQ(platform::darwin::thread_port_tid(mine), static_cast<int>(gettid()));
    EXPECT_EQ(platform::darwin::port_retain(mine), platform::darwin::kern_success);
    EXPECT_EQ(platform::darwin::port_retain(platform::darwin::task_self()), platform::darwin::kern_success);
    EXPECT_NE(platform::darwin::port_retain(platform::darwin::port_null), platform::darwin::kern_success);
    EXPECT_EQ(platform::darwin::thread_port_tid(platform::darwin::task_self()), -1);
    thread_t other = 0;
    std::thread([&] { other = lvcrash_async_mach_thread_self(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_GT(platform::darwin::thread_port_tid(other), 0);
}

TEST(SetupHelpers, Utf8ValidPrefix) {
    struct Case {
        std::string bytes;
        std::size_t expected;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xEF\xBB\xBF" "ab", 5},
        {"\xEF\xBB", 0},                        // not a whole byte order mark, and a cut-off sequence
        {"ab\0cd", 2},
        {"a\xC3\xA9z", 4},
        {"a\xC3", 1},                           // cut off
        {"a\xC3(", 1},                          // bad continuation
        {"\xF0\x9F\x98\x80!", 5},
        {"\xFF", 0},
        {"\x80", 0},
        {std::string("processname1234") + "\xE2", 15},  // 16 bytes ending in a cut-off 3-byte lead
        {std::string("processname12") + "\xE2\x82", 13},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lvcrash_utf8_valid_prefix_length(c.bytes.data(), c.bytes.size()), c.expected) << c.bytes;
}
