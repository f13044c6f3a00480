// The decoder's checks, one case per message; the report model's conversions; the text
// formatter's layout against a golden text and its edge cases; the host's kernel version.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/hostile_reports.hpp"
#include "crashreporter/lvcrash.pb-c.h"
#include "crashreporter/report_message.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/text_formatter.hpp"
#include "support/temp_dir.hpp"

using namespace lvcrash;

namespace {

// The executable with its UUID and libc; a crashed thread with 17 registers and a second
// one in a system call.
struct Message : report_message::Message {
    Message() : report_message::Message("/usr/bin/glyphwright") {
        addImage(0x555555554000, 0x2000, "/usr/bin/glyphwright", true);
        addImage(0x7ffff7d80000, 0x180000, "/usr/lib/x86_64-linux-gnu/libc.so.6", false);
        addThread(true, {{0x555555554100, "_main", 0x5555555540f0}, {0x7ffff7d81234, nullptr, 0}},
                  report_message::numberedRegisters(17));
        addThread(false, {{0x7ffff7d80500, "syscall", 0x7ffff7d804f0}, {0x1234, nullptr, 0}}, {});
    }
};

std::string decode_error(const std::vector<std::uint8_t>& bytes) {
    std::optional<platform::foundation::Error> error;
    auto report = CrashReport::decode(bytes, &error);
    if (report) return "(decoded)";
    if (!error) return "(no error)";
    EXPECT_EQ(error->domain(), kCrashReporterErrorDomain);
    EXPECT_EQ(error->code(), kCrashReporterErrorCrashReportInvalid);
    return error->what();
}

std::string message_error(const Lvcrash__CrashReport& message) {
    std::optional<platform::foundation::Error> error;
    auto report = CrashReport::fromMessage(message, &error);
    if (report) return "(decoded)";
    EXPECT_EQ(error->code(), kCrashReporterErrorCrashReportInvalid);
    return error->what();
}

TEST(ReportDecoder, EveryFileLevelFailureHasItsMessage) {
    struct Case {
        const char* name;
        std::function<std::vector<std::uint8_t>()> make;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"magic and version only", [] { return std::vector<std::uint8_t>{'l', 'v', 'c', 'r', 'a', 's', 'h', 1}; },
         "Could not decode truncated crash log"},
        {"seventh magic byte", [] { return std::vector<std::uint8_t>{'l', 'v', 'c', 'r', 'a', 's', 'X', 1, 0}; },
         "Could not decode invalid crash log header"},
        {"first magic byte", [] { return std::vector<std::uint8_t>{'L', 'v', 'c', 'r', 'a', 's', 'h', 1, 0}; },
         "Could not decode invalid crash log header"},
        {"fourth magic byte", [] { return std::vector<std::uint8_t>{'l', 'v', 'c', 'R', 'a', 's', 'h', 1, 0}; },
         "Could not decode invalid crash log header"},
        {"version 2", [] { return std::vector<std::uint8_t>{'l', 'v', 'c', 'r', 'a', 's', 'h', 2, 0}; },
         "Could not decode unsupported crash report version: 2"},
        {"unparsable body",
         [] { return std::vector<std::uint8_t>{'l', 'v', 'c', 'r', 'a', 's', 'h', 1, 0xFF, 0xFF, 0xFF}; },
         "An unknown error occured decoding the crash report"},
        {"missing required section (unpacker)",
         [] {
             Message m;
             m.report.signal = nullptr;  // packs without field 6, which the unpacker refuses
             return m.bytes();
         },
         "An unknown error occured decoding the crash report"},
        {"15-byte report uuid",
         [] {
             Message m;
             m.info.uuid.len = 15;
             return m.bytes();
         },
         "Report UUID value is not a standard 16 bytes"},
        {"no machine, unknown architecture",
         [] {
             Message m;
             m.report.machine_info = nullptr;
             return m.bytes();
         },
         "Crash report has an unknown architecture"},
        {"256 Mach codes",
         [] {
             Message m;
             m.codes.assign(256, 7);
             m.mach.type = 1;
             m.mach.n_codes = m.codes.size();
             m.mach.codes = m.codes.data();
             m.signal.mach_exception = &m.mach;
             return m.bytes();
         },
         "Crash report includes too many Mach Exception codes"},
        {"no thread",
         [] {
             Message m;
             m.report.n_threads = 0;
             return m.bytes();
         },
         "Crash report is missing thread state information"},
        {"no image",
         [] {
             Message m;
             m.report.n_binary_images = 0;
             return m.bytes();
         },
         "Crash report is missing binary image information"},
        {"complete", [] { return Message().bytes(); }, "(decoded)"},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_error(c.make()), c.expected) << c.name;
}

TEST(ReportDecoder, MissingSectionsAndFieldsOfAnUnpackedMessageHaveTheirMessages) {
    struct Case {
        const char* name;
        std::function<void(Message&)> damage;
        const char* expected;
    };
    static Lvcrash__CrashReport__Thread__RegisterValue nameless = LVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
    static Lvcrash__CrashReport__Thread__RegisterValue* nameless_list[] = {&nameless};
    const std::vector<Case> cases = {
        {"system", [](Message& m) { m.report.system_info = nullptr; }, "Crash report is missing System Information section"},
        {"os version", [](Message& m) { m.system.os_version = nullptr; },
         "Crash report is missing System Information OS version field"},
        {"application", [](Message& m) { m.report.application_info = nullptr; },
         "Crash report is missing Application Information section"},
        {"identifier", [](Message& m) { m.app.identifier = nullptr; },
         "Crash report is missing Application Information app identifier field"},
        {"version", [](Message& m) { m.app.version = nullptr; },
         "Crash report is missing Application Information app version field"},
        {"signal", [](Message& m) { m.report.signal = nullptr; }, "Crash report is missing Signal Information section"},
        {"signal name", [](Message& m) { m.signal.name = nullptr; }, "Crash report is missing signal name field"},
        {"signal code", [](Message& m) { m.signal.code = nullptr; }, "Crash report is missing signal code field"},
        {"register name",
         [](Message& m) {
             m.threads[1].n_registers = 1;
             m.threads[1].registers = nameless_list;
         },
         "Missing register name in register value"},
        {"image name", [](Message& m) { m.images[1].name = nullptr; }, "Missing image name in image record"},
        {"exception name",
         [](Message& m) {
             m.exception.reason = const_cast<char*>("why");
             m.report.exception = &m.exception;
         },
         "Crash report is missing exception name field"},
        {"exception reason",
         [](Message& m) {
             m.exception.name = const_cast<char*>("NSGenericException");
             m.report.exception = &m.exception;
         },
         "Crash report is missing exception reason field"},
    };
    for (const auto& c : cases) {
        Message m;
        c.damage(m);
        EXPECT_EQ(message_error(m.report), c.expected) << c.name;
    }
}

TEST(ReportDecoder, ModelValuesFollowTheFileAndItsDefaults) {
    Message m;
    auto report = CrashReport::decode(m.bytes(), nullptr);
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->uuid().has_value());
    EXPECT_EQ(report->images()[0].imageUUID.value_or(""), "01ab02030405060708090a0b0c0d0e0f");
    EXPECT_FALSE(report->images()[1].hasImageUUID);
    EXPECT_EQ(report->imageForAddress(0x555555554000), &report->images()[0]);
    EXPECT_EQ(report->imageForAddress(0x555555554000 + 0x1FFF), &report->images()[0]);
    EXPECT_EQ(report->imageForAddress(0x555555554000 + 0x2000), nullptr);  // the end is exclusive
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion.value_or(""), "1.2");
    EXPECT_EQ(report->processInfo()->processStartTime.value_or(0), 1796572790);
    EXPECT_EQ(report->threads()[0].stackFrames[0].symbolInfo->endAddress, 0u);
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->customData().has_value());

    // No report info: no uuid. An empty marketing version is none. Timestamp 0 is none.
    m.report.report_info = nullptr;
    m.app.marketing_version = const_cast<char*>("");
    m.system.timestamp = 0;
    report = CrashReport::decode(m.bytes(), nullptr);
    ASSERT_NE(report, nullptr);
    EXPECT_FALSE(report->uuid().has_value());
    EXPECT_FALSE(report->applicationInfo().applicationMarketingVersion.has_value());
    EXPECT_FALSE(report->systemInfo().timestamp.has_value());

    // Without machine info the processor comes from the architecture.
    m.report.machine_info = nullptr;
    m.system.architecture = LVCRASH__ARCHITECTURE__ARMV7;
    report = CrashReport::decode(m.bytes(), nullptr);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->systemInfo().processorInfo->type, 12u);
    EXPECT_EQ(report->systemInfo().processorInfo->subtype, 9u);
}

// An enumeration field set to any integer, as a damaged or crafted file can hold it.
template <typename Enum>
void setEnum(Enum* field, std::int32_t value) {
    std::memcpy(field, &value, sizeof value);
}

using hostile_reports::appendField;

TEST(ReportDecoder, HostileReportsAreRefusedBeforeTheyAreUnpacked) {
    struct Case {
        const char* name;
        std::function<std::vector<std::uint8_t>()> make;
        const char* expected;
    };
    auto frames = [](std::size_t n) {
        std::vector<report_message::FrameFacts> list;
        for (std::size_t i = 0; i < n; ++i) list.push_back({0x555555554100 + i, nullptr, 0});
        return list;
    };
    static const std::vector<std::uint8_t> big(300 * 1024, 0xAB);
    const std::vector<Case> cases = {
        {"7 MB", [] {
             Message m;
             static const std::vector<std::uint8_t> blob(7 << 20, 1);
             m.report.has_custom_data = 1;
             m.report.custom_data = {blob.size(), const_cast<std::uint8_t*>(blob.data())};
             return m.bytes();
         }, "Crash report is too large"},
        {"1,025 threads", [] {
             Message m;
             for (int i = 0; i < 1023; ++i) m.addThread(false, {{0x1000, nullptr, 0}}, {});
             return m.bytes();
         }, "Crash report includes too many threads"},
        {"513 frames in a thread", [&] {
             Message m;
             m.addThread(false, frames(513), {});
             return m.bytes();
         }, "Crash report includes too many stack frames"},
        {"513 frames in the exception", [&] {
             Message m;
             m.addThread(false, frames(513), {});
             // The thread's frames, as an exception section's.
             Message carrier;
             carrier.exception.name = const_cast<char*>("NSGenericException");
             carrier.exception.reason = const_cast<char*>("why");
             carrier.exception.n_frames = m.threads.back().n_frames;
             carrier.exception.frames = m.threads.back().frames;
             carrier.report.exception = &carrier.exception;
             return carrier.bytes();
         }, "Crash report includes too many stack frames"},
        {"70,000 frames in all", [&] {
             Message m;
             for (int i = 0; i < 140; ++i) m.addThread(false, frames(500), {});
             return m.bytes();
         }, "Crash report includes too many stack frames"},
        {"129 registers", [] {
             Message m;
             m.addThread(false, {{0x1000, nullptr, 0}}, report_message::numberedRegisters(129));
             return m.bytes();
         }, "Crash report includes too many registers"},
        {"16,385 images", [] {
             Message m;
             for (int i = 0; i < 16383; ++i) m.addImage(0x10000u * static_cast<unsigned>(i), 0x1000, "/l", false);
             return m.bytes();
         }, "Crash report includes too many binary images"},
        {"300 Mach codes packed into one field", [] {
             Message m;
             auto bytes = m.bytes();
             std::vector<std::uint8_t> codes(300, 7), mach{0x08, 0x01, 0x12};  // type 1, codes packed
             mach.push_back(static_cast<std::uint8_t>(0x80 | (300 & 0x7F)));
             mach.push_back(static_cast<std::uint8_t>(300 >> 7));
             mach.insert(mach.end(), codes.begin(), codes.end());
             std::vector<std::uint8_t> signal;
             appendField(&signal, 4, mach);
             appendField(&bytes, 6, signal);
             return bytes;
         }, "Crash report includes too many Mach Exception codes"},
        {"300 KiB of custom data", [] {
             Message m;
             m.report.has_custom_data = 1;
             m.report.custom_data = {big.size(), const_cast<std::uint8_t*>(big.data())};
             return m.bytes();
         }, "Crash report custom data is too large"},
        {"unknown fields in a frame", [] {
             Message m;
             auto bytes = m.bytes();
             std::vector<std::uint8_t> frame{0x18, 0x01};  // pc 1
             for (int i = 0; i < 100000; ++i) frame.insert(frame.end(), {0xF8, 0x06, 0x00});  // field 111 = 0
             std::vector<std::uint8_t> thread{0x08, 0x05, 0x18, 0x00};
             appendField(&thread, 2, frame);
             appendField(&bytes, 3, thread);
             return bytes;
         }, "Crash report includes too many unknown fields"},
        {"operating system 0xFFFFFFFF", [] {
             Message m;
             setEnum(&m.system.operating_system, -1);
             return m.bytes();
         }, "Crash report has an unknown operating system"},
        {"operating system 6", [] {
             Message m;
             setEnum(&m.system.operating_system, 6);
             return m.bytes();
         }, "Crash report has an unknown operating system"},
        {"architecture 0xFFFFFFFF", [] {
             Message m;
             setEnum(&m.system.architecture, -1);
             return m.bytes();
         }, "Crash report has an unknown architecture"},
        {"architecture 7 beside machine info", [] {
             Message m;
             setEnum(&m.system.architecture, 7);
             return m.bytes();
         }, "Crash report has an unknown architecture"},
        {"processor encoding 0xFFFFFFFF", [] {
             Message m;
             setEnum(&m.cpu.encoding, -1);
             return m.bytes();
         }, "Crash report has an unknown processor type encoding"},
        {"an image's processor encoding 2", [] {
             Message m;
             setEnum(&m.imageCpus[1].encoding, 2);
             return m.bytes();
         }, "Crash report has an unknown processor type encoding"},
        {"a truncated field", [] {
             auto bytes = Message().bytes();
             appendField(&bytes, 10, {1, 2, 3});
             bytes.pop_back();
             return bytes;
         }, "An unknown error occured decoding the crash report"},
        // At every limit the report still decodes.
        {"every limit reached", [&] {
             Message m;
             for (int i = 0; i < 126; ++i) m.addThread(false, frames(512), {});
             m.addThread(true, frames(512), report_message::numberedRegisters(128));
             m.report.has_custom_data = 1;
             m.report.custom_data = {256 * 1024, const_cast<std::uint8_t*>(big.data())};
             return m.bytes();
         }, "(decoded)"},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_error(c.make()), c.expected) << c.name;
    // The pending reports the crash service is tested with.
    for (const auto& damage : hostile_reports::damages()) {
        auto bytes = Message().bytes();
        damage.apply(&bytes);
        EXPECT_EQ(decode_error(bytes), damage.refusal ? damage.refusal : "Crash report is too large") << damage.name;
    }
}

TEST(ReportDecoder, AReportFileIsReadWholeOnlyUpToTheLimit) {
    gwtest::TempDir dir;
    const struct {
        std::size_t size;
        bool read;
    } cases[] = {{0, true}, {9, true}, {kCrashReportMaxFileSize, true}, {kCrashReportMaxFileSize + 1, false}, {7u << 20, false}};
    for (const auto& c : cases) {
        const auto path = dir / "report";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(c.size, 'x');
        int err = 0;
        const auto bytes = readCrashReportFile(path.string(), &err);
        EXPECT_EQ(bytes.has_value(), c.read) << c.size;
        if (bytes) {
            EXPECT_EQ(bytes->size(), c.size);
        } else {
            EXPECT_EQ(err, EFBIG) << c.size;
        }
    }
    int err = 0;
    EXPECT_FALSE(readCrashReportFile((dir / "missing").string(), &err));
    EXPECT_EQ(err, ENOENT);
}

TEST(ReportDecoder, Arm64ePointersLoseTheirAuthenticationBits) {
    for (const std::uint64_t subtype : {2u, 0u}) {
        Message m;
        m.cpu.type = 0x0100000C;
        m.cpu.subtype = subtype;
        m.frames[0][0].pc = 0x8000000123456789ULL;
        auto report = CrashReport::decode(m.bytes(), nullptr);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->threads()[0].stackFrames[0].instructionPointer,
                  subtype == 2 ? 0x123456789ULL : 0x8000000123456789ULL);
    }
}

TEST(CrashHostInfo, KernelReleasesGiveThreeNumbers) {
    struct Case {
        const char* release;
        std::uint64_t major, minor, revision;
    } cases[] = {{"22.6.0", 22, 6, 0}, {"6.1.0-18-amd64", 6, 1, 0}, {"5.15", 5, 15, 0}, {"garbage", 0, 0, 0}};
    for (const auto& c : cases) {
        const auto info = CrashHostInfo::fromRelease(c.release);
        EXPECT_EQ(info.darwinVersion().major, c.major) << c.release;
        EXPECT_EQ(info.darwinVersion().minor, c.minor) << c.release;
        EXPECT_EQ(info.darwinVersion().revision, c.revision) << c.release;
    }
    EXPECT_TRUE(CrashHostInfo::currentHostInfo().has_value());
}

std::string format(const Message& m) {
    auto report = CrashReport::decode(m.bytes(), nullptr);
    EXPECT_NE(report, nullptr);
    if (!report) return {};
    return CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::iOS);
}

TEST(ReportTextFormatter, FullReportMatchesTheGoldenText) {
    Message m;
    m.exception.name = const_cast<char*>("NSInvalidArgumentException");
    m.exception.reason = const_cast<char*>("unrecognized selector");
    m.exception.n_frames = m.framePtrs[0].size();
    m.exception.frames = m.framePtrs[0].data();
    m.report.exception = &m.exception;
    const std::string text = format(m);
    const std::string path = std::string(GW_FIXTURES_DIR) + "/golden/crash/report.txt";
    if (std::getenv("GW_UPDATE_GOLDEN")) std::ofstream(path) << text;
    std::ifstream in(path);
    std::stringstream golden;
    golden << in.rdbuf();
    EXPECT_EQ(text, golden.str());

    CrashReportTextFormatter formatter(CrashReportTextFormat::iOS, CrashReportStringEncoding::utf8);
    auto report = CrashReport::decode(m.bytes(), nullptr);
    const auto bytes = formatter.formatReport(*report);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
}

TEST(ReportTextFormatter, EdgeCasesOfTheLayout) {
    struct Case {
        const char* name;
        std::function<void(Message&)> change;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {"no machine", [](Message& m) { m.report.machine_info = nullptr; m.system.architecture = LVCRASH__ARCHITECTURE__X86_64; },
         {"Hardware Model:      ???\n"}, {}},
        {"two images with one base print once",
         [](Message& m) { m.addImage(0x555555554000, 0x10, "/tmp/twin", false); },
         {"+glyphwright x86_64"}, {"twin"}},
        {"64-bit ranges are 18 characters",
         [](Message&) {}, {"    0x555555554000 -     0x555555555fff +glyphwright x86_64  <01ab02030405060708090a0b0c0d0e0f> /usr/bin/glyphwright\n"}, {}},
        {"13 registers: three full lines and one of one",
         [](Message& m) { m.threads[0].n_registers = 13; },
         {"   r10: 0x000000000000b000 \n   r11: 0x000000000000c000 \n\n"}, {"   r12:"}},
        {"underscore dropped on Mac OS X",
         [](Message& m) { m.system.operating_system = LVCRASH__CRASH_REPORT__OPERATING_SYSTEM__MAC_OS_X; },
         {"main + 16\n", "OS Version:      Mac OS X 12.4"}, {"_main + 16"}},
        {"underscore kept on Linux", [](Message&) {}, {"_main + 16\n", "OS Version:      Linux 12.4 (6.1.0-18-amd64)"}, {}},
        {"unknown operating system", [](Message& m) { m.system.operating_system = LVCRASH__CRASH_REPORT__OPERATING_SYSTEM__OS_UNKNOWN; },
         {"Unknown (3) 12.4"}, {}},
        {"frame outside every image", [](Message&) {}, {"1   ???                                 0x0000000000001234 0x0 + 4660\n"}, {}},
        {"ARM names r12 ip",
         [](Message& m) {
             m.cpu.type = 12;
             m.cpu.subtype = 9;
             for (auto& cpu : m.imageCpus) cpu = m.cpu;
         },
         {"Code Type:       ARM\n", "    ip: 0x0000d000 ", "armv7"}, {"r12:"}},
        {"no crashed thread", [](Message& m) { m.threads[0].crashed = 0; }, {}, {"Crashed Thread:", "Thread State"}},
        {"no process info", [](Message& m) { m.report.process_info = nullptr; },
         {"Process:         ??? [???]\nPath:            ???\n", "Parent Process:  ??? [???]\n", " glyphwright x86_64"}, {}},
    };
    for (const auto& c : cases) {
        Message m;
        c.change(m);
        const std::string text = format(m);
        for (const auto& want : c.present) EXPECT_NE(text.find(want), std::string::npos) << c.name << ": " << want << "\n" << text;
        for (const auto& not_want : c.absent) EXPECT_EQ(text.find(not_want), std::string::npos) << c.name << ": " << not_want;
    }
}

TEST(ReportTextFormatter, AsciiEncodingMarksEachForeignCharacterOnce) {
    Message m;
    m.process.process_name = const_cast<char*>("gl\xC3\xBFph");
    auto report = CrashReport::decode(m.bytes(), nullptr);
    CrashReportTextFormatter formatter(CrashReportTextFormat::iOS, CrashReportStringEncoding::ascii);
    const auto bytes = formatter.formatReport(*report);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("Process:         gl?ph [4242]"), std::string::npos);
}

}  // namespace
