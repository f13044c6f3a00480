#include "platform/foundation/exception.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace pf = platform::foundation;

__attribute__((noinline)) void raiseFromHere() {
    pf::Exception::raise("TestException", "went wrong", pf::Dictionary{{"key", pf::Value("value")}});
}

std::uintptr_t codeAddress(void (*function)()) { return reinterpret_cast<std::uintptr_t>(function); }

TEST(ExceptionTest, RaiseKeepsNameReasonUserInfoAndTheRaisingFrameFirst) {
    try {
        raiseFromHere();
        FAIL() << "not thrown";
    } catch (const pf::ExceptionPtr& e) {
        ASSERT_TRUE(e);
        EXPECT_EQ(e->name(), "TestException");
        EXPECT_EQ(e->reason(), "went wrong");
        EXPECT_EQ(e->userInfo().at("key"), pf::Value("value"));
        const auto addresses = e->callStackReturnAddresses();
        ASSERT_GE(addresses.size(), 2u);
        // The first return address lies inside the function that raised.
        EXPECT_GT(addresses[0], codeAddress(raiseFromHere));
        EXPECT_LT(addresses[0], codeAddress(raiseFromHere) + 2048);
        EXPECT_EQ(e->callStackSymbols().size(), addresses.size());
    }
}

TEST(ExceptionTest, AnExceptionNeverRaisedHasNoStack) {
    pf::Exception e("N", "R");
    EXPECT_TRUE(e.callStackReturnAddresses().empty());
    EXPECT_TRUE(e.callStackSymbols().empty());
}

TEST(ExceptionTest, SymbolLinesFollowTheClassicLayout) {
    const std::regex layout(R"(^(\d+) +(\S+) +0x([0-9a-f]{16}) (\S+) \+ (\d+)$)");
    const auto lines = pf::currentCallStackSymbols();
    ASSERT_GE(lines.size(), 3u);
    bool sawLibc = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, layout)) << lines[i];
        EXPECT_EQ(m[1].str(), std::to_string(i));
        // Index padded to 4 columns, image name to 35.
        EXPECT_EQ(lines[i].find(m[2].str()), 4u) << lines[i];
        EXPECT_GE(lines[i].find(" 0x"), 4u + 35u) << lines[i];
        if (m[2].str() == "libc.so.6") {
            sawLibc = true;
            EXPECT_NE(m[4].str(), "") << lines[i];
        }
    }
    EXPECT_TRUE(sawLibc) << "the process start lies in the C library";

    // An address in no image has no name and no symbol.
    EXPECT_EQ(pf::callStackSymbolLine(7, 0x10), "7   ???                                 0x0000000000000010 0x0 + 16");
}

// Runs `body` in a forked child; answers what the child wrote to the pipe and how it ended.
struct ChildOutcome {
    std::string output;
    int status = 0;
};
ChildOutcome runChild(void (*body)(int fd)) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        // Out of the test framework's reach: nothing up the stack catches.
        [](void (*run)(int), int fd) noexcept { run(fd); }(body, fds[1]);
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildOutcome outcome;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) outcome.output.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    ::waitpid(pid, &outcome.status, 0);
    return outcome;
}

int handlerFd = -1;
void writingHandler(const pf::Exception& e) {
    const std::string text = e.name() + "|" + e.reason() + "|" + std::to_string(e.callStackReturnAddresses().size() > 0);
    [[maybe_unused]] auto written = ::write(handlerFd, text.data(), text.size());
}

TEST(ExceptionTest, UncaughtExceptionsReachTheHandlerOrThePreviousTerminateHandler) {
    struct Case {
        const char* what;
        void (*body)(int fd);
        const char* output;
    };
    const Case cases[] = {
        {"platform exception with a handler",
         [](int fd) {
             handlerFd = fd;
             pf::setUncaughtExceptionHandler(writingHandler);
             if (pf::getUncaughtExceptionHandler() != writingHandler) ::_exit(3);
             raiseFromHere();
         },
         "TestException|went wrong|1"},
        {"platform exception without a handler",
         [](int) {
             pf::setUncaughtExceptionHandler(nullptr);
             raiseFromHere();
         },
         ""},
        {"another exception goes to the previous terminate handler",
         [](int fd) {
             handlerFd = fd;
             std::set_terminate([] {
                 [[maybe_unused]] auto written = ::write(handlerFd, "previous", 8);
                 std::abort();
             });
             pf::setUncaughtExceptionHandler(writingHandler);
             throw std::runtime_error("plain");
         },
         "previous"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto outcome = runChild(c.body);
        EXPECT_EQ(outcome.output, c.output);
        ASSERT_TRUE(WIFSIGNALED(outcome.status));
        EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    }
}

}  // namespace
