#include "platform/foundation/exception.hpp"
#include "telemetry/crashes/rddi_uncaught_cxx_exception.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace rddi;
namespace pf = platform::foundation;

// The functions that throw; exported (the test links with its symbols exported) so that a
// child can look up each one's address range.
namespace throwers {

volatile int cleanups = 0;

__attribute__((noinline)) void throwLogicError() { throw std::logic_error("bad input"); }
const std::runtime_error pointedError("via pointer");
const std::string pointedText("pointed text");

__attribute__((noinline)) void throwExceptionPointer() { throw static_cast<const std::exception*>(&pointedError); }
__attribute__((noinline)) void throwString() { throw std::string("string text"); }
__attribute__((noinline)) void throwStringPointer() { throw &pointedText; }
__attribute__((noinline)) void throwCString() { throw "c text"; }
__attribute__((noinline)) void throwInt() { throw 42; }
__attribute__((noinline)) void throwPlatform() { pf::Exception::raise("NSGenericException", "platform reason"); }
__attribute__((noinline)) void throwAndRethrowAfterCleanup() {
    try {
        throw std::logic_error("rethrown");
    } catch (...) {
        cleanups = cleanups + 1;
        throw;
    }
}
// As a library that reaches the runtime's own entry itself.
__attribute__((noinline)) void throwThroughRuntimeEntry() {
    using RuntimeThrow = void (*)(void*, void*, void (*)(void*));
    auto runtimeThrow = reinterpret_cast<RuntimeThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
    void* object = __cxxabiv1::__cxa_allocate_exception(sizeof(std::logic_error));
    new (object) std::logic_error("from a library");
    runtimeThrow(object, const_cast<std::type_info*>(&typeid(std::logic_error)),
                 [](void* p) { static_cast<std::logic_error*>(p)->~logic_error(); });
}

}  // namespace throwers

namespace {

int outputFd = -1;
void (*currentThrower)() = nullptr;

void emit(const std::string& key, const std::string& value) {
    const std::string line = key + "=" + value + "\n";
    [[maybe_unused]] auto written = ::write(outputFd, line.data(), line.size());
}

std::string hex(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// The handler the children register: writes what it received, the wrapper exception made
// from it, and the thrower's address range.
void recordingHandler(const RDDICrashesCXXExceptionInfo* info) {
    emit("call", "1");
    emit("type", info->typeName ? info->typeName : "(null)");
    emit("message", info->message ? info->message : "(null)");
    emit("frameCount", std::to_string(info->frameCount));
    if (info->frameCount > 0) {
        emit("frame0", hex(info->frames[0]));
        Dl_info image{};
        if (::dladdr(reinterpret_cast<void*>(info->frames[0]), &image) && image.dli_fname) {
            const char* slash = std::strrchr(image.dli_fname, '/');
            emit("frame0Image", slash ? slash + 1 : image.dli_fname);
        }
    }
    const RDDICrashesCXXExceptionWrapperException wrapper(info);
    emit("wrapperName", wrapper.name());
    emit("wrapperReason", wrapper.reason());
    const auto addresses = wrapper.callStackReturnAddresses();
    emit("wrapperFramesMatch", std::to_string(addresses.size() == info->frameCount &&
                                              std::equal(addresses.begin(), addresses.end(), info->frames)));
    Dl_info symbol{};
    void* found = nullptr;
    if (currentThrower && ::dladdr1(reinterpret_cast<void*>(currentThrower), &symbol, &found, RTLD_DL_SYMENT) && found) {
        const auto* entry = static_cast<const ElfW(Sym)*>(found);
        const auto start = reinterpret_cast<std::uintptr_t>(symbol.dli_saddr);
        emit("throwerStart", hex(start));
        emit("throwerEnd", hex(start + entry->st_size));
    }
}

void platformHandler(const pf::Exception& exception) { emit("platform", exception.name() + "|" + exception.reason()); }

struct Outcome {
    std::multimap<std::string, std::string> values;
    int status = 0;
    std::string at(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? "(absent)" : it->second;
    }
};

// Runs `body` in a forked child outside the test framework's reach (nothing up its stack
// catches) and collects what it wrote.
Outcome runChild(const std::function<void()>& body) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        outputFd = fds[1];
        [&]() noexcept { body(); }();
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    Outcome outcome;
    ::waitpid(pid, &outcome.status, 0);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) outcome.values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return outcome;
}

// A return address of a call that ends the function may be the function's end.
bool frameInThrower(const Outcome& o) {
    if (o.values.count("frame0") == 0 || o.values.count("throwerStart") == 0) return false;
    const auto frame = std::stoull(o.at("frame0"), nullptr, 16);
    return frame > std::stoull(o.at("throwerStart"), nullptr, 16) && frame <= std::stoull(o.at("throwerEnd"), nullptr, 16);
}

void onNewThread(void (*thrower)()) {
    std::thread([thrower] { thrower(); }).join();
}

TEST(UncaughtCXXExceptionTest, EachUncaughtKindReachesTheHandlerWithTheThrowSite) {
    struct Case {
        const char* what;
        void (*thrower)();
        bool onThread;
        const char* type;
        const char* message;
        const char* wrapperName;
    };
    const std::string stringType = typeid(std::string).name();
    const std::string stringPointerType = typeid(const std::string*).name();
    const Case cases[] = {
        {"logic_error", throwers::throwLogicError, false, "St11logic_error", "bad input", "std::logic_error"},
        {"logic_error on a std::thread", throwers::throwLogicError, true, "St11logic_error", "bad input", "std::logic_error"},
        {"rethrown after cleanup", throwers::throwAndRethrowAfterCleanup, false, "St11logic_error", "rethrown",
         "std::logic_error"},
        {"pointer to a const std::exception", throwers::throwExceptionPointer, false, "PKSt9exception", "via pointer",
         "std::exception const*"},
        {"std::string", throwers::throwString, false, stringType.c_str(), "string text", "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"},
        {"pointer to a const std::string", throwers::throwStringPointer, false, stringPointerType.c_str(), "pointed text",
         "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const*"},
        {"const char*", throwers::throwCString, false, "PKc", "c text", "char const*"},
        {"int", throwers::throwInt, false, "i", "(null)", "int"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto outcome = runChild([&] {
            RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
            currentThrower = c.thrower;
            if (c.onThread) {
                onNewThread(c.thrower);
            } else {
                c.thrower();
            }
        });
        ASSERT_TRUE(WIFSIGNALED(outcome.status));
        EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
        EXPECT_EQ(outcome.values.count("call"), 1u);
        EXPECT_EQ(outcome.at("type"), c.type);
        EXPECT_EQ(outcome.at("message"), c.message);
        EXPECT_EQ(outcome.at("wrapperName"), c.wrapperName);
        EXPECT_EQ(outcome.at("wrapperReason"), std::string(c.message) == "(null)" ? "" : c.message);
        EXPECT_EQ(outcome.at("wrapperFramesMatch"), "1");
        EXPECT_TRUE(frameInThrower(outcome)) << outcome.at("frame0Image") << " " << outcome.at("frame0") << " not in " << outcome.at("throwerStart") << ".."
                                             << outcome.at("throwerEnd");
    }
}

TEST(UncaughtCXXExceptionTest, PlatformExceptionsAndOtherThrowEntriesAndRepeatedHandlers) {
    // A platform exception calls no handler: the platform's own uncaught path reports it.
    auto outcome = runChild([] {
        pf::setUncaughtExceptionHandler(platformHandler);
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        throwers::throwPlatform();
    });
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_EQ(outcome.values.count("call"), 0u);
    EXPECT_EQ(outcome.at("platform"), "NSGenericException|platform reason");

    // A throw that bypasses our entry still reaches the handlers, with the terminate
    // handler's stack instead of the throw site.
    outcome = runChild([] {
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        currentThrower = throwers::throwThroughRuntimeEntry;
        onNewThread(throwers::throwThroughRuntimeEntry);
    });
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_EQ(outcome.values.count("call"), 1u);
    EXPECT_EQ(outcome.at("message"), "from a library");
    EXPECT_NE(outcome.at("frameCount"), "0");
    EXPECT_FALSE(frameInThrower(outcome));

    // The C++ runtime's own throws pass through our entry too: the throw site lies in it.
    outcome = runChild([] {
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        [[maybe_unused]] volatile int value = std::vector<int>().at(3);
    });
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_EQ(outcome.at("type"), "St12out_of_range");
    EXPECT_EQ(outcome.at("frame0Image").rfind("libstdc++.so", 0), 0u) << outcome.at("frame0Image");

    // The same handler added twice is called twice; another handler in between keeps its place.
    outcome = runChild([] {
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
            [](const RDDICrashesCXXExceptionInfo*) { emit("other", "1"); });
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        throwers::throwInt();
    });
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_EQ(outcome.values.count("call"), 2u);
    EXPECT_EQ(outcome.values.count("other"), 1u);

    // With every handler removed, nothing records and nothing is called.
    outcome = runChild([] {
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(recordingHandler);
        RDDICrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(recordingHandler);
        throwers::throwInt();
    });
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_EQ(outcome.values.count("call"), 0u);
}

TEST(UncaughtCXXExceptionTest, WrapperOfARecordWithoutFrames) {
    const RDDICrashesCXXExceptionInfo info{nullptr, nullptr, nullptr, 0, nullptr};
    const RDDICrashesCXXExceptionWrapperException wrapper(&info);
    EXPECT_EQ(wrapper.name(), "");
    EXPECT_EQ(wrapper.reason(), "");
    EXPECT_TRUE(wrapper.callStackReturnAddresses().empty());
    EXPECT_TRUE(wrapper.callStackSymbols().empty());
    EXPECT_EQ(wrapper.info(), &info);
    // A name that does not demangle is kept as it is.
    const RDDICrashesCXXExceptionInfo odd{nullptr, "not a mangled name", "m", 0, nullptr};
    EXPECT_EQ(RDDICrashesCXXExceptionWrapperException(&odd).name(), "not a mangled name");
}

}  // namespace

// Counts the calling thread's heap allocations while asked to. Not under a sanitizer,
// which brings its own allocator.
#if !defined(GW_ADDRESS_SANITIZER_BUILD)
namespace {
thread_local bool countAllocations = false;
thread_local long allocations = 0;
}  // namespace
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* malloc(std::size_t size) {
    if (countAllocations) ++allocations;
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    if (countAllocations) ++allocations;
    return __libc_calloc(count, size);
}

namespace {

long allocationsOfCaughtThrows(int throws) {
    allocations = 0;
    countAllocations = true;
    for (int i = 0; i < throws; ++i) {
        try {
            throwers::throwLogicError();
        } catch (const std::logic_error&) {
        }
    }
    countAllocations = false;
    return allocations;
}

void noteHandler(const RDDICrashesCXXExceptionInfo*) {}

TEST(UncaughtCXXExceptionTest, ACaughtThrowAllocatesNothingOfOursAfterTheThreadsFirst) {
    std::thread([] {
        const long plain = allocationsOfCaughtThrows(50);  // what the runtime itself allocates
        RDDICrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(noteHandler);
        const long first = allocationsOfCaughtThrows(1);
        const long recorded = allocationsOfCaughtThrows(50);
        RDDICrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(noteHandler);
        EXPECT_GT(first, plain / 50) << "the thread's record is made on its first throw";
        EXPECT_EQ(recorded, plain);
    }).join();
}

}  // namespace
#endif

namespace {

void handlerA(const RDDICrashesCXXExceptionInfo*) {}
void handlerB(const RDDICrashesCXXExceptionInfo*) {}
void otherTerminate() { std::abort(); }

// Last: it leaves another party's terminate handler in force, as the case describes.
TEST(UncaughtCXXExceptionTest, AddRemoveAndCountKeepTheTerminateHandlerInOrder) {
    using M = RDDICrashesUncaughtCXXExceptionHandlerManager;
    const std::terminate_handler before = std::get_terminate();
    M::addCXXExceptionHandler(handlerA);
    const std::terminate_handler ours = std::get_terminate();
    EXPECT_NE(ours, before);
    M::addCXXExceptionHandler(handlerA);
    EXPECT_EQ(M::countCXXExceptionHandler(), 2u);
    M::removeCXXExceptionHandler(handlerA);
    EXPECT_EQ(M::countCXXExceptionHandler(), 1u);
    EXPECT_EQ(std::get_terminate(), ours);
    M::removeCXXExceptionHandler(handlerB);  // never added
    EXPECT_EQ(M::countCXXExceptionHandler(), 1u);
    EXPECT_EQ(std::get_terminate(), ours);
    M::removeCXXExceptionHandler(handlerA);
    EXPECT_EQ(M::countCXXExceptionHandler(), 0u);
    EXPECT_EQ(std::get_terminate(), before);
    M::removeCXXExceptionHandler(handlerA);  // on an empty list
    EXPECT_EQ(std::get_terminate(), before);

    // Somebody installs theirs over ours: removing the last handler leaves theirs in force.
    M::addCXXExceptionHandler(handlerB);
    std::set_terminate(otherTerminate);
    M::removeCXXExceptionHandler(handlerB);
    EXPECT_EQ(M::countCXXExceptionHandler(), 0u);
    EXPECT_EQ(std::get_terminate(), otherTerminate);
    std::set_terminate(before);
}

}  // namespace
