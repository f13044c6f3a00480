// Crash reports packed with the schema's generated packer and read back by the decoder, then
// formatted: a golden log, the edge cases of a sparse report, image kinds, paths, addresses.
#include "telemetry/crashes/rddi_error_log_formatter.hpp"

#include "crashreporter/fixture_support.hpp"
#include "crashreporter/lvcrash.pb-c.h"
#include "crashreporter/report_message.hpp"
#include "platform/darwin/dyld.hpp"
#include "platform/darwin/macho_loader.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/crashes/rddi_wrapper_exception.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <set>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

constexpr const char* kExe = "/opt/glyphwright/bin/glyphwright";
constexpr const char* kLib = "/opt/glyphwright/lib/libgwcore.so";
constexpr const char* kLibc = "/usr/lib/x86_64-linux-gnu/libc.so.6";
constexpr const char* kLibm = "/usr/lib/x86_64-linux-gnu/libm.so.6";
constexpr std::uint64_t kExeBase = 0x555555554000, kLibBase = 0x7ffff7f00000, kLibcBase = 0x7ffff7d80000,
                        kLibmBase = 0x7ffff7c00000;

// The executable (with its UUID), a library beside it, libc and libm; a thread in a system
// call, and the crashed one going from the executable through the library into libc.
struct Message : report_message::Message {
    Message() : report_message::Message(kExe) {
        addImage(kLibcBase, 0x180000, kLibc, false);
        addImage(kExeBase, 0x2000, kExe, true);
        addImage(kLibBase, 0x1000, kLib, false);
        addImage(kLibmBase, 0x1000, kLibm, false);
        addThread(false, {{kLibcBase + 0x500, "syscall", kLibcBase + 0x4f0}}, {});
        addThread(true,
                  {{kExeBase + 0x100, "_main", kExeBase + 0xf0},
                   {kLibBase + 0x20, "gw_export", kLibBase},
                   {kLibcBase + 0x1234, "_start_thread", kLibcBase + 0x1200},
                   {0x1234, nullptr, 0}},
                  {{"rip", kExeBase + 0x100}, {"rsi", 0}, {"rsp", 0x7ffd0000}});
    }
};

class ErrorLogFormatterTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIUtility::resetDezIdedevDirectoryURL();
        RDDIWrapperExceptionManager::resetForTesting();
    }
    testkit::TelemetryTestEnvironment env;
    gwtest::ScopedEnv home{"HOME", "/srv/people/ada"};
};

// GW_UPDATE_GOLDEN=1 rewrites the golden file instead. The device comes from this
// machine's history and is checked apart.
TEST_F(ErrorLogFormatterTest, AFullReportGivesTheGoldenLog) {
    Message message;
    message.exception.name = const_cast<char*>("std::logic_error");
    message.exception.reason = const_cast<char*>("bad input");
    Lvcrash__CrashReport__Thread__StackFrame thrown = LVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
    thrown.pc = kLibBase + 0x20;
    Lvcrash__CrashReport__Thread__StackFrame* thrownPtr = &thrown;
    message.exception.n_frames = 1;
    message.exception.frames = &thrownPtr;
    message.report.exception = &message.exception;
    auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());

    ASSERT_TRUE(log->device);
    EXPECT_EQ(log->device->osVersion, "12.4");
    EXPECT_EQ(log->device->osBuild, "6.1.0-18-amd64");
    EXPECT_EQ(log->device->model, "Standard PC");
    EXPECT_EQ(log->device->appBuild, "42");
    EXPECT_EQ(log->device->appVersion, "1.2");
    EXPECT_EQ(log->device->appNamespace, "com.norvane.glyphwright");
    EXPECT_TRUE(log->device->sdkName) << "the rest comes from the device history";
    log->device = nullptr;

    pf::Dictionary dictionary = log->serializeToDictionary();
    const std::string json = pf::json::serialize(pf::Value(dictionary), {.prettyPrinted = true}) + "\n";
    const std::string path = std::string(GW_FIXTURES_DIR) + "/telemetry/crashes/formatted_apple_error_log.json";
    if (std::getenv("GW_UPDATE_GOLDEN")) std::ofstream(path) << json;
    EXPECT_EQ(json, gwtest::readFile(path));

    auto report = RDDIErrorLogFormatter::errorReportFromLog(*log);
    EXPECT_EQ(report->incidentIdentifier(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(report->appProcessIdentifier(), 4242u);
    EXPECT_EQ(report->reporterKey(), RDDIDezIdedev::installId().uuidString());
}

TEST_F(ErrorLogFormatterTest, ASparseReportGivesTheDefaults) {
    Message message;
    message.report.process_info = nullptr;
    message.report.machine_info = nullptr;
    message.system.architecture = LVCRASH__ARCHITECTURE__X86_64;  // the reader wants one or the other
    message.info.has_uuid = 0;
    message.system.timestamp = 0;
    for (auto& thread : message.threads) thread.crashed = 0;
    message.images[1].size = 0;
    message.exception.name = nullptr;  // unnamed: the signal names it
    message.exception.reason = const_cast<char*>("why");
    Lvcrash__CrashReport__Thread__StackFrame thrown = LVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
    thrown.pc = kExeBase;
    Lvcrash__CrashReport__Thread__StackFrame* thrownPtr = &thrown;
    message.exception.n_frames = 1;
    message.exception.frames = &thrownPtr;
    message.report.exception = &message.exception;
    auto report = message.decoded();
    ASSERT_TRUE(report);

    auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*report);
    EXPECT_EQ(log->processId, 0);
    EXPECT_EQ(log->processName, "???");
    EXPECT_EQ(log->parentProcessName, "???");
    EXPECT_EQ(log->applicationPath, "???");
    EXPECT_FALSE(log->parentProcessId);
    EXPECT_EQ(log->errorThreadId, 0);
    EXPECT_TRUE(log->registers && log->registers->empty());
    EXPECT_FALSE(log->selectorRegisterValue);
    for (const auto& thread : *log->threads) EXPECT_FALSE(thread->exception);
    ASSERT_TRUE(log->timestamp);
    EXPECT_DOUBLE_EQ(log->timestamp->timeIntervalSince1970(), 0.999);
    // Architecture from the images when the machine is unknown.
    EXPECT_EQ(log->primaryArchitectureId, 0x01000007);
    // A fresh id each time without a report UUID.
    EXPECT_NE(log->errorId, RDDIErrorLogFormatter::errorLogFromCrashReport(*report)->errorId);
    EXPECT_EQ(pf::UUID::fromString(*log->errorId).has_value(), true);
    // Without process information no image is the application's: only referenced ones go.
    std::set<std::string> names;
    for (const auto& binary : *log->binaries) names.insert(*binary->name);
    EXPECT_EQ(names, (std::set<std::string>{"glyphwright", "libgwcore.so", "libc.so.6"}));
    for (const auto& binary : *log->binaries)
        if (*binary->name == "glyphwright") {
            EXPECT_EQ(binary->startAddress, binary->endAddress) << "size 0";
        }
    EXPECT_EQ(RDDIErrorLogFormatter::errorReportFromCrashReport(nullptr), nullptr);

    // The unnamed exception's model takes the signal's name once a thread has crashed.
    message.threads[1].crashed = 1;
    auto named = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());
    ASSERT_TRUE((*named->threads)[1]->exception);
    EXPECT_EQ((*named->threads)[1]->exception->type, "SIGSEGV");
    EXPECT_EQ((*named->threads)[1]->exception->message, "why");
}

TEST_F(ErrorLogFormatterTest, ATimestampWithAFractionIsKeptAndLaterTimesAreNudgedToo) {
    Message message;
    message.system.timestamp = 4102444800;  // 2100: past the 32-bit range
    auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());
    EXPECT_DOUBLE_EQ(log->timestamp->timeIntervalSince1970(), 4102444800.999);
    EXPECT_DOUBLE_EQ(log->appLaunchTimestamp->timeIntervalSince1970(), 1796572790);
}

TEST_F(ErrorLogFormatterTest, ImageKindsFollowTheInstallFolder) {
    struct Case {
        std::optional<std::string> image, process;
        int kind;
    };
    const Case cases[] = {
        {kExe, kExe, 0},
        {"/opt/glyphwright/bin/../bin/glyphwright", kExe, 0},
        {kLib, kExe, 1},
        {"/opt/glyphwright/bin/plugin.so", kExe, 1},
        {"/opt/glyphwright-other/lib/x.so", kExe, 2},
        {kLibc, kExe, 2},
        {"/home/ada/build/libgw.so", "/home/ada/build/glyphwright", 1},
        {"/home/ada/lib/libgw.so", "/home/ada/build/glyphwright", 2},
        {"/usr/lib/libz.so", "/glyphwright", 2},
        {std::nullopt, kExe, 2},
        {kExe, std::nullopt, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RDDIErrorLogFormatter::imageTypeForImagePath(c.image, c.process), c.kind)
            << c.image.value_or("nil") << " in " << c.process.value_or("nil");
}

TEST_F(ErrorLogFormatterTest, PathsLoseTheUserName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/ada/build/glyphwright", "/home/USER/build/glyphwright"},
        {"/home/ada", "/home/USER"},
        {"/srv/people/ada/bin/tool", "/home/USER/bin/tool"},  // below $HOME
        {"/srv/people/adam/bin/tool", "/srv/people/adam/bin/tool"},
        {"/Users/someone/Apps/Tool.app/Contents/MacOS/Tool", "/Users/USER/Apps/Tool.app/Contents/MacOS/Tool"},
        {"/Applications/Tool.app/Contents/MacOS/Tool", "/Applications/Tool.app/Contents/MacOS/Tool"},
        {"/Volumes/Users/x", ""},
        {"", ""},
        {"/usr/lib/libc.so.6", "/usr/lib/libc.so.6"},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(RDDIErrorLogFormatter::anonymizedPathFromPath(path), expected) << path;
}

TEST_F(ErrorLogFormatterTest, AddressesFramesAndSymbolsByImageAndSystem) {
    EXPECT_EQ(RDDIErrorLogFormatter::formatAddress(4096, true), "0x0000000000001000");
    EXPECT_EQ(RDDIErrorLogFormatter::formatAddress(4096, false), "0x00001000");
    EXPECT_TRUE(RDDIErrorLogFormatter::isCodeType64bit(kRDDICPUTypeARM64));
    EXPECT_FALSE(RDDIErrorLogFormatter::isCodeType64bit(kRDDICPUTypeARM));

    struct Case {
        std::int32_t os;
        const char* expected;
        bool warned;
    };
    // A libc frame 32 bytes into "_objc_msgSend".
    const Case cases[] = {{0, "objc_msgSend + 32", false}, {1, "objc_msgSend + 32", false},
                          {3, "_objc_msgSend + 32", true}, {5, "_objc_msgSend + 32", false}};
    for (const auto& c : cases) {
        Message message;
        message.system.operating_system = static_cast<Lvcrash__CrashReport__OperatingSystem>(c.os);
        message.symbols[0].name = const_cast<char*>("_objc_msgSend");
        message.symbols[0].start_address = kLibcBase + 0x500 - 32;
        env.clearLogs();
        auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());
        EXPECT_EQ(*(*log->threads)[0]->frames[0]->code, c.expected) << "os " << c.os;
        EXPECT_EQ(env.logged(RDDILogLevelWarning, "Symbol \"_objc_msgSend\" prefix rules are unknown for this OS!"),
                  c.warned);
    }

    Message message;
    auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());
    const auto& crashed = (*log->threads)[1]->frames;
    EXPECT_EQ(*crashed[0]->code, "0x555555554000 + 256") << "the executable's frames go unsymbolicated";
    EXPECT_EQ(*crashed[1]->code, "0x7ffff7f00000 + 32") << "so do its libraries'";
    EXPECT_EQ(*crashed[2]->code, "_start_thread + 52");
    EXPECT_EQ(*crashed[3]->code, "0x0 + 0");
    EXPECT_TRUE(env.logged(RDDILogLevelWarning, "Cannot find image for 0x1234"));
    EXPECT_EQ(log->osExceptionAddress, "0x10");
    EXPECT_EQ((*log->registers)["rsp"], "0x000000007ffd0000");
    EXPECT_FALSE(log->selectorRegisterValue) << "rsi is 0 and rdx absent";

    // Binaries in base order: libm is dropped (nothing points into it), the rest are kept.
    std::vector<std::string> names;
    for (const auto& binary : *log->binaries) names.push_back(*binary->name);
    EXPECT_EQ(names, (std::vector<std::string>{"glyphwright", "libc.so.6", "libgwcore.so"}));
    EXPECT_EQ((*log->binaries)[0]->binaryId, "01ab0203040506070809" "0a0b0c0d0e0f");
    EXPECT_EQ((*log->binaries)[1]->binaryId, "???");
}

TEST_F(ErrorLogFormatterTest, AMatchedWrapperExceptionBecomesTheLogsException) {
    Message message;
    RDDIWrapperException saved;
    saved.modelException = RDDIExceptionModel::withType("System.Exception", "managed", std::vector<std::string>{});
    saved.processId = 4242;
    RDDIWrapperExceptionManager::saveWrapperException(saved);
    auto report = message.decoded();
    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        {RDDIErrorLogFormatter::errorReportFromCrashReport(report)});
    auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*report);
    ASSERT_TRUE(log->exception);
    EXPECT_EQ(log->exception->type, "System.Exception");
}

// A crash inside a method send: the selector's address is in rsi, and the image it points
// into is loaded here too, so its name can be read from the image's method-name section.
TEST_F(ErrorLogFormatterTest, TheSelectorIsReadFromTheSameImageLoadedInThisProcess) {
    auto image = platform::darwin::load_macho_image(fixtures::macho_path("fixture_x86_64"), {false, 0, {}});
    std::uint64_t size = 0;
    const auto* names = platform::darwin::loader_section_data(image->header(), "__TEXT", "__objc_methname", &size);
    ASSERT_TRUE(names);
    const std::string wanted("instanceAnswer", sizeof "instanceAnswer");  // with its terminating zero
    const void* found = memmem(names, size, wanted.data(), wanted.size());
    ASSERT_TRUE(found);
    const auto selector = reinterpret_cast<std::uint64_t>(found);
    const auto header = reinterpret_cast<std::uint64_t>(image->header());

    std::string uuidText = fixtures::header_value("fixture_x86_64", "cmd LC_UUID", "uuid");
    std::erase(uuidText, '-');
    ASSERT_EQ(uuidText.size(), 32u);

    struct Case {
        const char* what;
        std::uint64_t rsi;
        std::uint64_t rdx;
        bool sameUuid;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"rsi holds it", selector, 0, true, "instanceAnswer"},
        {"rsi empty, rdx holds it", 0, selector, true, "instanceAnswer"},
        {"outside the method names", header + 4, 0, true, std::nullopt},
        {"another build of the image", selector, 0, false, std::nullopt},
    };
    for (const auto& c : cases) {
        Message message;
        for (int b = 0; b < 16; ++b)
            message.imageUuid[b] = static_cast<std::uint8_t>(
                std::stoi(uuidText.substr(static_cast<std::size_t>(b) * 2, 2), nullptr, 16) ^ (c.sameUuid ? 0 : 1));
        message.addImage(header, image->vm_size(), image->path().c_str(), true);
        message.registers[1][1].value = c.rsi;
        Lvcrash__CrashReport__Thread__RegisterValue rdx = LVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
        rdx.name = const_cast<char*>("rdx");
        rdx.value = c.rdx;
        message.registers[1].push_back(rdx);
        message.registerPtrs[1].clear();
        for (auto& reg : message.registers[1]) message.registerPtrs[1].push_back(&reg);
        message.threads[1].n_registers = message.registerPtrs[1].size();
        message.threads[1].registers = message.registerPtrs[1].data();
        auto log = RDDIErrorLogFormatter::errorLogFromCrashReport(*message.decoded());
        EXPECT_EQ(log->selectorRegisterValue, c.expected) << c.what;
    }

    // The image gone from this process: nothing to read the name from.
    Message message;
    for (int b = 0; b < 16; ++b)
        message.imageUuid[b] = static_cast<std::uint8_t>(std::stoi(uuidText.substr(static_cast<std::size_t>(b) * 2, 2), nullptr, 16));
    message.addImage(header, image->vm_size(), image->path().c_str(), true);
    message.registers[1][1].value = selector;
    auto report = message.decoded();
    image.reset();
    EXPECT_FALSE(RDDIErrorLogFormatter::errorLogFromCrashReport(*report)->selectorRegisterValue);
}

}  // namespace
