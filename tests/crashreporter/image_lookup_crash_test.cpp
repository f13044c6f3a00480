// A child faults inside a loaded Mach-O image; its signal handler names the faulting pc and its
// caller through the image list, async-safely, and writes them to a pipe.
#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/image_list.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"

using namespace lvcrash;

namespace {

lvcrash_async_image_list crash_list;
int report_fd = -1;

void on_add(const void* header, std::intptr_t) {
    platform::darwin::ImageAtAddress at;
    std::string name;
    if (platform::darwin::loader_image_containing_address(header, &at)) name = at.name;
    lvcrash_async_image_list_append(&crash_list, reinterpret_cast<lvcrash_vm_address_t>(header), name.c_str());
}


void write_symbol(lvcrash_vm_address_t, const char* name, void* ctx) {
    auto* file = static_cast<lvcrash_async_file_t*>(ctx);
    lvcrash_async_file_write(file, name, lvcrash_async_strlen(name));
}

void describe(lvcrash_async_file_t* file, lvcrash_vm_address_t pc) {
    lvcrash_async_image* image = lvcrash_async_image_containing_address(&crash_list, pc);
    if (!image) image = lvcrash_async_image_list_find_unlisted(&crash_list, pc);
    if (image) {
        lvcrash_async_image_find_symbol_by_pc(image, pc, write_symbol, file);
        lvcrash_async_file_write(file, " in ", 4);
        const char* name = lvcrash_async_image_name(image);
        lvcrash_async_file_write(file, name, lvcrash_async_strlen(name));
    } else {
        lvcrash_async_file_write(file, "?", 1);
    }
    lvcrash_async_file_write(file, "\n", 1);
}

void on_fault(int signal, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    lvcrash_async_file_t file;
    lvcrash_async_file_init(&file, report_fd, LVCRASH_ASYNC_REPORT_LIMIT);
    const char* sig = lvcrash_async_signal_signame(signal);
    const char* code = lvcrash_async_signal_sigcode(signal, info->si_code);
    lvcrash_async_file_write(&file, sig, lvcrash_async_strlen(sig));
    lvcrash_async_file_write(&file, " ", 1);
    lvcrash_async_file_write(&file, code, lvcrash_async_strlen(code));
    lvcrash_async_file_write(&file, "\n", 1);
    lvcrash_async_image_list_set_reading(&crash_list, true);
#if defined(__x86_64__)
    const auto pc = static_cast<lvcrash_vm_address_t>(uc->uc_mcontext.gregs[REG_RIP]);
    std::uint64_t return_address = 0;
    lvcrash_async_task_read_uint64(platform::darwin::task_self(), lvcrash_async_byteorder_direct(),
                                   static_cast<lvcrash_vm_address_t>(uc->uc_mcontext.gregs[REG_RSP]), 0, &return_address);
    describe(&file, pc);
    describe(&file, return_address - 1);
#else
    (void)uc;
#endif
    lvcrash_async_image_list_set_reading(&crash_list, false);
    lvcrash_async_file_close(&file);
    _exit(0);
}

}  // namespace

TEST(CrashTimeLookup, FaultInAMachOImageIsNamedFromTheSignalHandler) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "x86_64 fixtures run only on x86_64";
#endif
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        report_fd = fds[1];
        lvcrash_async_image_list_init(&crash_list, platform::darwin::task_self());
        platform::darwin::loader_register_add_image(on_add);
        auto x86 = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {true, 0x77, {}});
        auto arm = platform::darwin::load_macho_image(fixtures::macho_path("fixture_arm64"));
        static char alt[65536];
        stack_t ss{};
        ss.ss_sp = alt;
        ss.ss_size = sizeof alt;
        sigaltstack(&ss, nullptr);
        struct sigaction action {};
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        action.sa_sigaction = on_fault;
        sigaction(SIGSEGV, &action, nullptr);
        // The callback is arm64 code, mapped without execute permission: the call faults there.
        using callback = long (*)(long);
        auto frame = reinterpret_cast<long (*)(long, callback)>(x86->symbol("_fixture_frame"));
        const auto target = reinterpret_cast<callback>(arm->symbol("_fixture_frameless_leaf"));
        frame(5, target);
        _exit(3);
    }
    close(fds[1]);
    std::string report;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << report;
    EXPECT_EQ(WEXITSTATUS(status), 0) << report;
    EXPECT_NE(report.find("SIGSEGV SEGV_ACCERR\n"), std::string::npos) << report;
    EXPECT_NE(report.find("_fixture_frameless_leaf in " + fixtures::macho_path("fixture_arm64") + "\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("_fixture_frame in " + fixtures::macho_path("fixture_x86_64") + "\n"), std::string::npos)
        << report;
}
