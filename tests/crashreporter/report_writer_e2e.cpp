// Reports of this process written by the crash-time writer and read back with the generated
// reader, with protoc and with the decoder: every section, threads parked inside a loaded
// Mach-O fixture named by its symbols, test-executable and libc frames named from the ELF
// tables, the 256 KiB limit and no heap call during the write.
#include <chrono>
#include <cstdio>
#include <thread>
#include <dlfcn.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/lvcrash.pb-c.h"
#include "crashreporter/report.hpp"
#include "crashreporter/report_support.hpp"
#include "crashreporter/text_formatter.hpp"
#include "crashreporter/unwind_support.hpp"
#include "platform/darwin/macho_loader.hpp"
#include "platform/darwin/thread_control.hpp"
#include "platform/foundation/process_info.hpp"

using namespace lvcrash;
using report_support::ParkedThreads;
using report_support::WriteOptions;

namespace {

struct Unpacked {
    Lvcrash__CrashReport* message = nullptr;
    explicit Unpacked(const std::vector<std::uint8_t>& bytes) {
        if (bytes.size() >= 8) message = RDlvcrash__crash_report__unpack(std::span(bytes).subspan(8));
    }
    ~Unpacked() { RDlvcrash__crash_report__free_unpacked(message); }
    const Lvcrash__CrashReport* operator->() const { return message; }
};

std::vector<std::string> frame_names(const Lvcrash__CrashReport__Thread& thread) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < thread.n_frames; ++i)
        names.push_back(thread.frames[i]->symbol ? thread.frames[i]->symbol->name : "");
    return names;
}

// True when `wanted` appear in `names` in this order, each right after the one before.
bool has_run(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
    for (std::size_t start = 0; start + wanted.size() <= names.size(); ++start) {
        bool all = true;
        for (std::size_t k = 0; k < wanted.size() && all; ++k) all = names[start + k] == wanted[k];
        if (all) return true;
    }
    return false;
}

std::string protoc_decode(const std::vector<std::uint8_t>& bytes, int* status) {
    char body[] = "/tmp/gw-report-body-XXXXXX";
    const int fd = mkstemp(body);
    EXPECT_EQ(write(fd, bytes.data() + 8, bytes.size() - 8), static_cast<ssize_t>(bytes.size() - 8));
    close(fd);
    const std::string out = std::string(body) + ".txt";
    const std::string command = std::string("protoc --decode=lvcrash.CrashReport -I ") + GW_SOURCE_DIR +
                                "/crashreporter lvcrash.proto < " + body + " > " + out + " 2>&1";
    *status = std::system(command.c_str());
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    unlink(body);
    unlink(out.c_str());
    return text.str();
}

// Resumed threads leave the stop handler on their own time.
using unwind_support::wait_until_none_parked;

class ReportWriter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform::darwin::thread_control_install()); }
};

TEST_F(ReportWriter, OwnProcessReportHoldsEverySectionAndNamesEveryKindOfFrame) {
    auto fixture = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 0, {}});
    unwind_support::FedList list;
    auto fixture_frame = reinterpret_cast<ParkedThreads::FixtureFrame>(fixture->symbol("_fixture_frame"));
    ASSERT_NE(fixture_frame, nullptr);
    std::vector<std::uint8_t> bytes;
    long heap_calls = 0;
    {
        ParkedThreads parked(8, 3, fixture_frame);
        WriteOptions options;
        options.strategy = 3;
        options.with_exception = true;
        options.with_custom_data = true;
        bytes = report_support::write_report(list.get(), options, &heap_calls);
    }
    EXPECT_TRUE(wait_until_none_parked());
    if (heap_calls >= 0) {
        EXPECT_EQ(heap_calls, 0);
    }
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 7), "lvcrash");
    EXPECT_EQ(bytes[7], 1);

    Unpacked report(bytes);
    ASSERT_NE(report.message, nullptr);
    ASSERT_NE(report->report_info, nullptr);
    EXPECT_EQ(report->report_info->uuid.len, 16u);
    EXPECT_EQ(report->system_info->operating_system, LVCRASH__CRASH_REPORT__OPERATING_SYSTEM__LINUX);
    utsname names{};
    uname(&names);
    EXPECT_STREQ(report->system_info->os_build, names.release);
    if (const auto os = platform::foundation::operatingSystemVersion()) {
        std::string expected = std::to_string(os->major) + "." + std::to_string(os->minor);
        if (os->patch > 0) expected += "." + std::to_string(os->patch);
        EXPECT_STREQ(report->system_info->os_version, expected.c_str());
    }
    EXPECT_EQ(report->system_info->architecture, LVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
    EXPECT_GT(report->system_info->timestamp, 0);
    ASSERT_NE(report->machine_info, nullptr);
    EXPECT_EQ(report->machine_info->processor->type, 0x01000007u);
    EXPECT_GE(report->machine_info->logical_processor_count, 1u);
    EXPECT_STREQ(report->application_info->identifier, "com.norvane.glyphwright.tests");
    EXPECT_STREQ(report->application_info->marketing_version, "");
    ASSERT_NE(report->process_info, nullptr);
    EXPECT_EQ(report->process_info->process_id, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(report->process_info->parent_process_id, static_cast<std::uint32_t>(getppid()));
    EXPECT_TRUE(report->process_info->native);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_STREQ(report->process_info->process_path, exe);
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_STREQ(report->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(report->signal->address, 0x10u);
    ASSERT_NE(report->exception, nullptr);
    EXPECT_STREQ(report->exception->name, "NSInvalidArgumentException");
    ASSERT_EQ(report->exception->n_frames, 2u);
    ASSERT_NE(report->exception->frames[0]->symbol, nullptr);
    EXPECT_STREQ(report->exception->frames[0]->symbol->name, "report_support_recurse");
    ASSERT_TRUE(report->has_custom_data);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(report->custom_data.data), report->custom_data.len), "custom");

    // Threads: numbered without gaps; the calling thread crashed, with registers; every parked
    // thread from libc's syscall through this executable into the fixture.
    std::size_t crashed = 0, parked_walks = 0;
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        const auto& thread = *report->threads[i];
        EXPECT_EQ(thread.thread_number, i);
        if (thread.crashed) {
            ++crashed;
            ASSERT_GE(thread.n_registers, 17u);
            EXPECT_STREQ(thread.registers[0]->name, "rip");
        } else {
            EXPECT_EQ(thread.n_registers, 0u);
        }
        if (has_run(frame_names(thread), {"syscall", "report_support_park_here", "report_support_recurse",
                                          "report_support_recurse", "report_support_recurse",
                                          "report_support_recurse", "report_support_fixture_callback",
                                          "_fixture_frame"}))
            ++parked_walks;
    }
    EXPECT_EQ(crashed, 1u);
    EXPECT_EQ(parked_walks, 8u);

    // Images: the fixture and this executable, ELF ones with their build id and the host's CPU.
    bool fixture_seen = false, exe_seen = false;
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        const auto& image = *report->binary_images[i];
        ASSERT_NE(image.code_type, nullptr);
        EXPECT_EQ(image.code_type->encoding, LVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
        EXPECT_EQ(image.code_type->type, 0x01000007u);
        if (image.name == fixture->path()) fixture_seen = true;
        if (std::string(image.name) == exe) {
            exe_seen = true;
            EXPECT_TRUE(image.has_uuid);
            EXPECT_EQ(image.uuid.len, 16u);
            EXPECT_GT(image.size, 0u);
        }
    }
    EXPECT_TRUE(fixture_seen);
    EXPECT_TRUE(exe_seen);

    int status = -1;
    const std::string decoded = protoc_decode(bytes, &status);
    EXPECT_EQ(status, 0) << decoded;
    for (const char* section : {"report_info {", "system_info {", "machine_info {", "application_info {",
                                "process_info {", "threads {", "binary_images {", "exception {", "signal {",
                                "custom_data: \"custom\""})
        EXPECT_NE(decoded.find(section), std::string::npos) << section;

    std::optional<platform::foundation::Error> error;
    const auto decoded_report = CrashReport::decode(bytes, &error);
    ASSERT_NE(decoded_report, nullptr) << (error ? error->what() : "");
    const std::string text = CrashReportTextFormatter::stringValueForCrashReport(*decoded_report, CrashReportTextFormat::iOS);
    const std::string exe_name = std::string(exe).substr(std::string(exe).rfind('/') + 1);
    for (const std::string& line : {std::string("OS Version:      Linux "), std::string("Code Type:       X86-64\n"),
                                    std::string("Exception Type:  SIGSEGV\nException Codes: SEGV_MAPERR at 0x10\n"),
                                    std::string("Version:         42\n"), std::string(" _fixture_frame + "),
                                    std::string(" syscall + "), std::string(" report_support_park_here + "),
                                    std::string("Thread 0 Crashed:\n"), std::string("crashed with X86-64 Thread State:\n"),
                                    std::string("+" + exe_name + " x86_64  <"),
                                    std::string(" fixture_x86_64.dylib x86_64  <")})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST_F(ReportWriter, WithoutAStateTheCallingThreadIsLeftOutAndNumbersStayDense) {
    void* noid = dlopen(ELF_FIXTURE_NOID_PATH, RTLD_NOW);
    ASSERT_NE(noid, nullptr);
    unwind_support::FedList list;
    ParkedThreads parked(4, 0, nullptr);
    platform::darwin::thread_control_install();
    std::size_t listed = 0;
    platform::darwin::port_t ports[1024];
    ASSERT_EQ(platform::darwin::task_threads(platform::darwin::task_self(), ports, 1024, &listed),
              platform::darwin::kern_success);
    WriteOptions options;
    options.with_state = false;
    options.signo = 5;  // SIGTRAP with code 0 has no code name
    options.code = 0;
    options.leave_suspended = true;
    std::size_t parked_after = 0;
    options.parked_after_write = &parked_after;
    const auto bytes = report_support::write_report(list.get(), options);
    EXPECT_EQ(parked_after, listed - 1);  // the others stayed suspended until asked
    EXPECT_TRUE(wait_until_none_parked());
    Unpacked report(bytes);
    ASSERT_NE(report.message, nullptr);
    EXPECT_EQ(report->n_threads, listed - 1);
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        EXPECT_EQ(report->threads[i]->thread_number, i);
        EXPECT_FALSE(report->threads[i]->crashed);
        for (std::size_t f = 0; f < report->threads[i]->n_frames; ++f)
            EXPECT_EQ(report->threads[i]->frames[f]->symbol, nullptr);  // strategy 0 names nothing
    }
    EXPECT_STREQ(report->signal->name, "SIGTRAP");
    EXPECT_STREQ(report->signal->code, "#0");
    EXPECT_FALSE(report->has_custom_data);
    EXPECT_EQ(report->exception, nullptr);
    // An object without a build id is listed without a uuid.
    std::size_t noid_seen = 0;
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        if (std::string(report->binary_images[i]->name).find("elf_fixture_noid") == std::string::npos) continue;
        ++noid_seen;
        EXPECT_FALSE(report->binary_images[i]->has_uuid);
    }
    EXPECT_EQ(noid_seen, 1u);
    dlclose(noid);
}

TEST_F(ReportWriter, FiftyDeepThreadsStayWithinTheLimitAndKeepTheCrashedThreadAndSignal) {
    unwind_support::FedList list;
    ParkedThreads parked(50, 600, nullptr);
    WriteOptions options;
    options.strategy = 3;
    options.signo = 77;  // no name: "#77"
    const auto bytes = report_support::write_report(list.get(), options);
    EXPECT_LE(bytes.size(), 262144u);
    Unpacked report(bytes);
    ASSERT_NE(report.message, nullptr);
    EXPECT_STREQ(report->signal->name, "#77");
    std::size_t crashed = 0, full = 0;
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        EXPECT_EQ(report->threads[i]->thread_number, i);
        if (report->threads[i]->crashed) {
            ++crashed;
            EXPECT_GT(report->threads[i]->n_frames, 1u);
            EXPECT_GT(report->threads[i]->n_registers, 0u);
        }
        if (report->threads[i]->n_frames == LVCRASH_WRITER_MAX_FRAMES) ++full;
    }
    EXPECT_EQ(crashed, 1u);
    EXPECT_GT(full, 0u);                 // deep threads stop at exactly 512 frames
    EXPECT_LT(report->n_threads, 51u);   // not all fit: some were left out whole
    std::optional<platform::foundation::Error> error;
    EXPECT_NE(CrashReport::decode(bytes, &error), nullptr) << (error ? error->what() : "");
}

}  // namespace
