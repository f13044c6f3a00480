#include "platform/foundation/json.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

const pf::Date kCrashTime = pf::Date::fromTimeIntervalSince1970(1700000000.25);
const pf::Date kLaunchTime = pf::Date::fromTimeIntervalSince1970(1699999000.5);

std::shared_ptr<RDDIDevice> fixedDevice() {
    auto d = std::make_shared<RDDIDevice>();
    d->sdkName = "dezidedev.linux";
    d->sdkVersion = "4.1.0";
    d->model = "x86_64";
    d->oemName = "Linux";
    d->osName = "Debian";
    d->osVersion = "12";
    d->locale = "en_US";
    d->timeZoneOffset = 60;
    d->appVersion = "1.0.0";
    d->appBuild = "42";
    d->appNamespace = "com.example.glyphs";
    return d;
}

std::shared_ptr<RDDIStackFrame> frame(const std::string& address, const std::string& code) {
    auto f = std::make_shared<RDDIStackFrame>();
    f->address = address;
    f->code = code;
    return f;
}

std::shared_ptr<RDDIWrapperExceptionModel> wrapperModel() {
    auto inner = std::make_shared<RDDIExceptionModel>();
    inner->type = "System.IO.IOException";
    inner->message = "disk full";
    inner->frames = RDDIStackFrames{};
    auto model = std::make_shared<RDDIWrapperExceptionModel>();
    model->type = "System.InvalidOperationException";
    model->message = "outer";
    model->stackTrace = "at Outer()";
    auto parsed = std::make_shared<RDDIStackFrame>();
    parsed->className = "Outer";
    parsed->methodName = "Run";
    parsed->fileName = "Outer.cs";
    parsed->lineNumber = 17;
    model->frames = RDDIStackFrames{parsed};
    model->wrapperSdkName = "dezidedev.xamarin";
    model->innerExceptions = std::vector<std::shared_ptr<RDDIExceptionModel>>{inner};
    return model;
}

std::shared_ptr<RDDIThread> crashedThread() {
    auto thread = std::make_shared<RDDIThread>();
    thread->threadId = 0;
    thread->frames = {frame("0x00000000004011d6", "main + 22"), frame("0x00007f0000029d90", "libc.so.6 + 171408")};
    thread->exception = RDDIExceptionModel::withType("std::logic_error", "bad input",
                                                     std::vector<std::string>{
                                                         "0   glyphwright                         0x00000000004011d6 -[GWTool run:] + 22",
                                                     });
    return thread;
}

std::shared_ptr<RDDIBinary> binary() {
    auto b = std::make_shared<RDDIBinary>();
    b->binaryId = "0123456789abcdef0123456789abcdef";
    b->startAddress = "0x400000";
    b->endAddress = "0x40ffff";
    b->name = "glyphwright";
    b->path = "/home/USER/bin/glyphwright";
    b->primaryArchitectureId = 16777223;
    b->architectureVariantId = 3;
    return b;
}

std::shared_ptr<RDDIAppleErrorLog> fullAppleErrorLog() {
    auto log = std::make_shared<RDDIAppleErrorLog>();
    log->timestamp = kCrashTime;
    log->sid = "5c3b3c1e-0000-4000-8000-000000000001";
    log->device = fixedDevice();
    log->errorId = "8F4A2C7E-1111-4222-8333-944455556666";
    log->processId = 4242;
    log->processName = "glyphwright";
    log->parentProcessId = 1;
    log->parentProcessName = "systemd";
    log->errorThreadId = 0;
    log->fatal = true;
    log->appLaunchTimestamp = kLaunchTime;
    log->primaryArchitectureId = 16777223;
    log->architectureVariantId = 3;
    log->applicationPath = "/home/USER/bin/glyphwright";
    log->osExceptionType = "SIGABRT";
    log->osExceptionCode = "#0";
    log->osExceptionAddress = "0x7f0000029d90";
    log->exceptionType = "std::logic_error";
    log->exceptionReason = "bad input";
    log->threads = std::vector<std::shared_ptr<RDDIThread>>{crashedThread()};
    log->binaries = std::vector<std::shared_ptr<RDDIBinary>>{binary()};
    log->registers = std::map<std::string, std::string>{{"rip", "0x00000000004011d6"}, {"rsp", "0x00007ffc00001000"}};
    log->exception = wrapperModel();
    return log;
}

std::shared_ptr<RDDIHandledErrorLog> handledErrorLog() {
    auto log = std::make_shared<RDDIHandledErrorLog>();
    log->timestamp = kCrashTime;
    log->device = fixedDevice();
    log->errorId = "0E0E0E0E-2222-4333-8444-955566667777";
    log->properties = RDDIStringProperties{{"screen", "export"}};
    log->exception = RDDIExceptionModel::withType("GWExportError", "The disk is full.",
                                                  std::vector<std::string>{
                                                      "1   Foundation                          0x00007ff81234abcd -[NSFileManager copyItemAtPath:toPath:error:] + 44",
                                                      "2   libc.so.6                           0x00007f0000029d90 __libc_start_main + 128",
                                                  });
    return log;
}

std::string pretty(const pf::Dictionary& d) { return pf::json::serialize(pf::Value(d), {.prettyPrinted = true}) + "\n"; }

class CrashModelsTest : public ::testing::Test {
protected:
    void SetUp() override { RDDIRegisterCrashesArchiveClasses(); }
    testkit::TelemetryTestEnvironment env_;
};

// GW_UPDATE_GOLDEN=1 rewrites the golden files instead.
TEST_F(CrashModelsTest, JsonEqualsTheGoldenFiles) {
    const std::pair<const char*, std::function<pf::Dictionary()>> cases[] = {
        {"apple_error_log.json", [] { return fullAppleErrorLog()->serializeToDictionary(); }},
        {"handled_error_log.json", [] { return handledErrorLog()->serializeToDictionary(); }},
        {"thread.json", [] { return crashedThread()->serializeToDictionary(); }},
        {"binary.json", [] { return binary()->serializeToDictionary(); }},
        {"wrapper_exception_model.json", [] { return wrapperModel()->serializeToDictionary(); }},
        {"not_fatal_minimal_apple_error_log.json", [] {
             RDDIAppleErrorLog log;  // only the type: "fatal" is still written
             return log.serializeToDictionary();
         }},
    };
    for (const auto& [file, make] : cases) {
        SCOPED_TRACE(file);
        const std::string path = std::string(GW_FIXTURES_DIR) + "/telemetry/crashes/" + file;
        const std::string json = pretty(make());
        if (std::getenv("GW_UPDATE_GOLDEN")) std::ofstream(path) << json;
        EXPECT_EQ(json, gwtest::readFile(path));
    }
}

TEST_F(CrashModelsTest, ArchivesRoundTripToEqualObjectsNestedOnesIncluded) {
    const std::vector<std::pair<std::string, std::shared_ptr<RDDIAbstractLog>>> logs = {
        {"apple", fullAppleErrorLog()}, {"handled", handledErrorLog()}, {"empty apple", std::make_shared<RDDIAppleErrorLog>()}};
    for (const auto& [what, log] : logs) {
        SCOPED_TRACE(what);
        const auto copy = RDDIUtility::unarchiveKeyedData<RDDIAbstractLog>(RDDIUtility::archiveKeyedData(log.get()));
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->className(), log->className());
        EXPECT_TRUE(copy->isEqual(*log));
        EXPECT_TRUE(log->isEqual(*copy));
        EXPECT_EQ(copy->serializeToDictionary(), log->serializeToDictionary());
    }
    // Equality looks into the nested models: one changed frame deep down is seen.
    auto a = fullAppleErrorLog();
    auto b = fullAppleErrorLog();
    ASSERT_TRUE(a->isEqual(*b));
    (*b->threads)[0]->frames[1]->code = "other";
    EXPECT_FALSE(a->isEqual(*b));
    b = fullAppleErrorLog();
    (*std::static_pointer_cast<RDDIWrapperExceptionModel>(b->exception)->innerExceptions)[0]->message = "x";
    EXPECT_FALSE(a->isEqual(*b));
    b = fullAppleErrorLog();
    b->fatal = false;
    EXPECT_FALSE(a->isEqual(*b));
    // A plain model is not equal to a wrapper model with the same base fields.
    RDDIExceptionModel plain;
    plain.type = wrapperModel()->type;
    RDDIWrapperExceptionModel wrapper;
    wrapper.type = plain.type;
    EXPECT_FALSE(plain.isEqual(wrapper));
    EXPECT_FALSE(wrapper.isEqual(plain));

    const auto thread = RDDIUtility::unarchiveKeyedData<RDDIThread>(RDDIUtility::archiveKeyedData(crashedThread().get()));
    ASSERT_TRUE(thread);
    EXPECT_TRUE(thread->isEqual(*crashedThread()));
    const auto wrapped = RDDIUtility::unarchiveKeyedData<RDDIExceptionModel>(RDDIUtility::archiveKeyedData(wrapperModel().get()));
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->className(), "RDDIWrapperExceptionModel");
    EXPECT_TRUE(wrapped->isEqual(*wrapperModel()));
}

// An archive written by hand: any class name, any fields.
class Forged : public pf::Archivable {
public:
    Forged(std::string cls, std::function<void(pf::KeyedArchiver&)> fill) : cls_(std::move(cls)), fill_(std::move(fill)) {}
    std::string archiveClassName() const override { return cls_; }
    void encode(pf::KeyedArchiver& archiver) const override { fill_(archiver); }

private:
    std::string cls_;
    std::function<void(pf::KeyedArchiver&)> fill_;
};

TEST_F(CrashModelsTest, OldClassNamesAndBytesThatAreNoArchive) {
    for (const char* oldName : {"RDException", "RDDIException"}) {
        SCOPED_TRACE(oldName);
        const Forged old(oldName, [](pf::KeyedArchiver& a) {
            a.encodeString("type", "NSRangeException");
            a.encodeString("wrapperSdkName", "dezidedev.react");
        });
        const auto model = RDDIUtility::unarchiveKeyedData<RDDIExceptionModel>(pf::KeyedArchiver::archivedData(old));
        ASSERT_TRUE(model);
        EXPECT_EQ(model->className(), "RDDIWrapperExceptionModel");
        EXPECT_EQ(std::static_pointer_cast<RDDIWrapperExceptionModel>(model)->wrapperSdkName, "dezidedev.react");
    }
    // Old names of the nested models decode inside an old crash log.
    const Forged frameOld("RDStackFrame", [](pf::KeyedArchiver& a) { a.encodeString("address", "0x1"); });
    const Forged threadOld("RDThread", [&](pf::KeyedArchiver& a) {
        a.encodeInteger("id", 3);
        a.encodeObjects("frames", {&frameOld});
    });
    const Forged binaryOld("RDBinary", [](pf::KeyedArchiver& a) { a.encodeString("id", "???"); });
    const Forged logOld("RDAppleErrorLog", [&](pf::KeyedArchiver& a) {
        a.encodeString("type", "appleError");
        a.encodeObjects("threads", {&threadOld});
        a.encodeObjects("binaries", {&binaryOld});
    });
    const auto log = RDDIUtility::unarchiveKeyedData<RDDIAppleErrorLog>(pf::KeyedArchiver::archivedData(logOld));
    ASSERT_TRUE(log);
    ASSERT_EQ(log->threads->size(), 1u);
    EXPECT_EQ((*log->threads)[0]->threadId, 3);
    EXPECT_EQ((*log->threads)[0]->frames.at(0)->address, "0x1");
    EXPECT_EQ((*log->binaries)[0]->binaryId, "???");

    const auto failures = [&] {
        int n = 0;
        for (const auto& entry : env_.capturedLogs()) n += entry.message.rfind("Unarchiving NSData failed", 0) == 0;
        return n;
    };
    const int before = failures();
    EXPECT_FALSE(RDDIUtility::unarchiveKeyedData<RDDIAppleErrorLog>(pf::Data{'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r'}));
    // A thread list holding a binary is refused, not mistaken for threads.
    const Forged mixed("RDDIAppleErrorLog", [&](pf::KeyedArchiver& a) { a.encodeObjects("threads", {&binaryOld}); });
    EXPECT_FALSE(RDDIUtility::unarchiveKeyedData<RDDIAppleErrorLog>(pf::KeyedArchiver::archivedData(mixed)));
    EXPECT_EQ(failures(), before + 2);
    EXPECT_EQ(kRDDICrashesMigrationClasses.size(), 11u);
}

TEST_F(CrashModelsTest, ValidityRefusesTheFirstMissingFieldWithClassAndFieldNamed) {
    struct Case {
        const char* what;
        std::function<bool()> valid;
        const char* message;  // nullptr: accepted
    };
    const Case cases[] = {
        {"full apple log", [] { return fullAppleErrorLog()->isValid(); }, nullptr},
        {"empty threads accepted", [] { auto l = fullAppleErrorLog(); l->threads->clear(); l->binaries.reset(); return l->isValid(); }, nullptr},
        {"no error id", [] { auto l = fullAppleErrorLog(); l->errorId.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"errorId\" is not valid."},
        {"no process id", [] { auto l = fullAppleErrorLog(); l->processId.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"processId\" is not valid."},
        {"no process name", [] { auto l = fullAppleErrorLog(); l->processName.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"processName\" is not valid."},
        {"no architecture id", [] { auto l = fullAppleErrorLog(); l->primaryArchitectureId.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"primaryArchitectureId\" is not valid."},
        {"no path despite threads", [] { auto l = fullAppleErrorLog(); l->applicationPath.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"applicationPath\" is not valid."},
        {"no signal", [] { auto l = fullAppleErrorLog(); l->osExceptionType.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"osExceptionType\" is not valid."},
        {"no code", [] { auto l = fullAppleErrorLog(); l->osExceptionCode.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"osExceptionCode\" is not valid."},
        {"no address", [] { auto l = fullAppleErrorLog(); l->osExceptionAddress.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"osExceptionAddress\" is not valid."},
        {"base log first", [] { auto l = fullAppleErrorLog(); l->timestamp.reset(); l->errorId.reset(); return l->isValid(); },
         "RDDIAppleErrorLog: \"timestamp\" is not valid."},
        {"handled log", [] { return handledErrorLog()->isValid(); }, nullptr},
        {"handled without id", [] { auto l = handledErrorLog(); l->errorId.reset(); return l->isValid(); },
         "RDDIHandledErrorLog: \"errorId\" is not valid."},
        {"handled without exception", [] { auto l = handledErrorLog(); l->exception.reset(); return l->isValid(); },
         "RDDIHandledErrorLog: \"exception\" is not valid."},
        {"handled with an invalid exception", [] { auto l = handledErrorLog(); l->exception->frames->clear(); return l->isValid(); }, nullptr},
        {"thread", [] { return crashedThread()->isValid(); }, nullptr},
        {"thread without id", [] { auto t = crashedThread(); t->threadId.reset(); return t->isValid(); },
         "RDDIThread: \"threadId\" is not valid."},
        {"thread without frames", [] { return RDDIThread{}.isValid() || [] { RDDIThread t; t.threadId = 1; return t.isValid(); }(); },
         "RDDIThread: \"frames\" is not valid."},
        {"binary", [] { return binary()->isValid(); }, nullptr},
        {"binary without id", [] { auto b = binary(); b->binaryId.reset(); return b->isValid(); }, "RDDIBinary: \"binaryId\" is not valid."},
        {"binary without start", [] { auto b = binary(); b->startAddress.reset(); return b->isValid(); }, "RDDIBinary: \"startAddress\" is not valid."},
        {"binary without end", [] { auto b = binary(); b->endAddress.reset(); return b->isValid(); }, "RDDIBinary: \"endAddress\" is not valid."},
        {"binary without name, path set", [] { auto b = binary(); b->name.reset(); return b->isValid(); }, "RDDIBinary: \"name\" is not valid."},
        {"binary without path", [] { auto b = binary(); b->path.reset(); return b->isValid(); }, "RDDIBinary: \"path\" is not valid."},
        {"exception without type", [] { auto m = wrapperModel(); m->type.reset(); return m->isValid(); },
         "RDDIWrapperExceptionModel: \"type\" is not valid."},
        {"exception with type, no parsed frames", [] {
             return RDDIExceptionModel::withType("T", "m", std::vector<std::string>{"0 a 0x1 f + 1"})->isValid();
         },
         "RDDIExceptionModel: \"frames\" is not valid."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        env_.clearLogs();
        EXPECT_EQ(c.valid(), c.message == nullptr);
        if (c.message) {
            EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, c.message)) << c.message;
        }
    }
}

TEST_F(CrashModelsTest, LoadStackTraceSplitsByCharactersOnly) {
    struct Case {
        const char* line;
        std::vector<std::optional<std::string>> frame;  // fileName, address, className, methodName; empty: no frame
    };
    const Case cases[] = {
        {"0   CoreFoundation                      0x00007fff2a8b1c3b -[NSObject doesNotRecognizeSelector:] + 123",
         {"CoreFoundation", "0x00007fff2a8b1c3b", "NSObject", "doesNotRecognizeSelector:"}},
        {"4   AppKit                              0x00007fff2c1e0e4e +[NSApp run:with:args:] + 9",
         {"AppKit", "0x00007fff2c1e0e4e", "NSApp", "run:with:args:"}},
        {"1   glyphwright                         0x0000000000401136 main + 22", {}},
        // A library name with a full stop shifts every later piece by one.
        {"2   libc.so.6                           0x00007f0000029d90 __libc_start_main + 128",
         {"libc", "so", "6", "0x00007f0000029d90"}},
        {"3   libfoo.dylib                        0x0000000000001000 bar + 4", {"libfoo", "dylib", "0x0000000000001000", "bar"}},
        {"", {}},
    };
    std::vector<std::string> lines;
    std::vector<std::vector<std::optional<std::string>>> expected;
    for (const auto& c : cases) {
        lines.push_back(c.line);
        if (!c.frame.empty()) expected.push_back(c.frame);
    }
    const auto frames = RDDIExceptionModel::loadStackTrace(lines);
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i]->fileName, expected[i][0]);
        EXPECT_EQ(frames[i]->address, expected[i][1]);
        EXPECT_EQ(frames[i]->className, expected[i][2]);
        EXPECT_EQ(frames[i]->methodName, expected[i][3]);
        EXPECT_FALSE(frames[i]->code);
        EXPECT_FALSE(frames[i]->lineNumber);
    }
    EXPECT_TRUE(RDDIExceptionModel::loadStackTrace({}).empty());
}

TEST_F(CrashModelsTest, ExceptionModelsFromErrorsExceptionsAndTypes) {
    const auto fromError = RDDIExceptionModel::withError(pf::Error("GWExportDomain", 3, "The disk is full."));
    EXPECT_EQ(fromError->type, "GWExportDomain");
    EXPECT_EQ(fromError->message, "{\n    NSLocalizedDescription = \"The disk is full.\";\n}");
    ASSERT_TRUE(fromError->stackTrace);
    EXPECT_EQ(fromError->stackTrace->rfind("(\n    \"0   ", 0), 0u) << *fromError->stackTrace;
    ASSERT_TRUE(fromError->frames);

    const auto bare = RDDIExceptionModel::withError(pf::Error("", 1, ""));
    EXPECT_FALSE(bare->type);
    EXPECT_FALSE(bare->message);

    // A raised platform exception: its own symbol lines, in the layout loadStackTrace reads.
    try {
        pf::Exception::raise("NSInvalidArgumentException", "bad argument");
    } catch (const pf::ExceptionPtr& e) {
        const auto model = RDDIExceptionModel::withException(*e);
        EXPECT_EQ(model->type, "NSInvalidArgumentException");
        EXPECT_EQ(model->message, "bad argument");
        EXPECT_EQ(model->stackTrace, RDDIArrayDescription(e->callStackSymbols()));
        EXPECT_EQ(model->frames->size(), RDDIExceptionModel::loadStackTrace(e->callStackSymbols()).size());
    }

    const auto given = RDDIExceptionModel::withType("T", std::nullopt, std::vector<std::string>{"a b", "plain"});
    EXPECT_EQ(given->stackTrace, "(\n    \"a b\",\n    plain\n)");
    EXPECT_FALSE(given->message);
    EXPECT_EQ(RDDIArrayDescription({}), "(\n)");
    EXPECT_TRUE(RDDIExceptionModel::withType("T", "m", std::nullopt)->stackTrace->find("0x") != std::string::npos);
}

TEST_F(CrashModelsTest, ErrorReportKeepsItsArgumentsAndKnowsAppKills) {
    const struct {
        std::optional<std::string> signal;
        bool appKill;
    } cases[] = {{"SIGKILL", true}, {"sigkill", true}, {"SigKill", true}, {"SIGSEGV", false}, {std::nullopt, false}, {"", false}};
    for (const auto& c : cases) {
        const RDDIErrorReport report("id", "", c.signal, "N", "R", kLaunchTime, kCrashTime, fixedDevice(), 77);
        EXPECT_EQ(report.isAppKill(), c.appKill) << c.signal.value_or("(none)");
        EXPECT_EQ(report.incidentIdentifier(), "id");
        EXPECT_EQ(report.reporterKey(), "");
        EXPECT_EQ(report.exceptionName(), "N");
        EXPECT_EQ(report.exceptionReason(), "R");
        EXPECT_EQ(report.appStartTime(), kLaunchTime);
        EXPECT_EQ(report.appErrorTime(), kCrashTime);
        EXPECT_EQ(report.appProcessIdentifier(), 77u);
    }
}

}  // namespace
