#include "platform/appkit/application_state.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/group.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_compression.hpp"
#include "telemetry/core/rddi_dispatcher_util.hpp"
#include "telemetry/core/rddi_ordered_dictionary.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <zlib.h>

#include <atomic>
#include <random>
#include <thread>

namespace {

using rddi::RDDIUtility;
using rddi::RDDILogLevelError;
namespace pf = platform::foundation;

// Each row: a start string and the secret and target token read from it.
TEST(StartStringTest, SecretAndTokenComeFromTheirComponents) {
    using Text = std::optional<std::string>;
    struct Case {
        const char* name;
        Text text, secret, token;
    };
    const Case cases[] = {
        {"bare secret then target", "secret-123;target=token-456", "secret-123", "token-456"},
        {"keyed secret then target", "appsecret=abc;target=xyz", "abc", "xyz"},
        {"platform component wins over the generic secret", "appsecret=generic;macos=platform", "platform",
         std::nullopt},
        {"token only has no secret", "target=only", std::nullopt, "only"},
        // An empty target component is skipped for a later token.
        {"empty target then a token", "target=;target=xyz", std::nullopt, "xyz"},
        {"bare secret then a token", "abc;target=xyz", "abc", "xyz"},
        {"empty target then a bare secret", "target=;abc", "abc", std::nullopt},
        {"missing", std::nullopt, std::nullopt, std::nullopt},
        {"empty", "", std::nullopt, std::nullopt},
        {"empty components", ";;", std::nullopt, std::nullopt},
        {"empty target", "target=", std::nullopt, std::nullopt},
        // Empty components before the secret are skipped.
        {"empty components before the secret", ";;appsecret=late", "late", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RDDIUtility::appSecretFrom(c.text), c.secret);
        EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom(c.text), c.token);
    }
}

TEST(TargetTokenTest, KeysAreThePartBeforeTheFirstDash) {
    struct Case {
        std::optional<std::string> token, key, iKey;
    };
    const Case cases[] = {
        {"abc-def-ghi", "abc", "o:abc"},
        {"abc-def", "abc", "o:abc"},
        {"nodash", "nodash", "o:nodash"},
        {"-leading", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token.value_or("(none)"));
        EXPECT_EQ(RDDIUtility::targetKeyFromTargetToken(c.token), c.key);
        EXPECT_EQ(RDDIUtility::iKeyFromTargetToken(c.token), c.iKey);
    }
}

TEST(StringOperationsTest, Sha256GivesStandardDigestsAndHashesUtf8Bytes) {
    EXPECT_EQ(RDDIUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(RDDIUtility::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // Text beyond ASCII: the digest of its UTF-8 bytes, never a failure.
    const std::string accented = "caf\xC3\xA9";
    EXPECT_EQ(RDDIUtility::sha256(accented).size(), 64u);
    EXPECT_NE(RDDIUtility::sha256(accented), RDDIUtility::sha256("cafe"));
    // Up to the first NUL, as the text's C form.
    EXPECT_EQ(RDDIUtility::sha256(std::string("abc\0def", 7)), RDDIUtility::sha256("abc"));
}

TEST(StringOperationsTest, PrettyPrintedJsonKeepsSlashesAndPassesOtherTextThrough) {
    EXPECT_EQ(RDDIUtility::prettyPrintJson(std::nullopt), std::nullopt);
    EXPECT_EQ(RDDIUtility::prettyPrintJson(pf::dataFromString("not json {")), "not json {");
    const auto pretty = RDDIUtility::prettyPrintJson(pf::dataFromString(R"({"url":"https:\/\/a.b\/c","b":1})"));
    ASSERT_TRUE(pretty);
    EXPECT_EQ(*pretty, "{\n  \"url\": \"https://a.b/c\",\n  \"b\": 1\n}");
}

TEST(StringOperationsTest, ObfuscationReplacesEveryCaseInsensitiveMatch) {
    rddi::testkit::TelemetryTestEnvironment env;
    const std::string pattern = R"("token"\s*:\s*"[^"]+")";
    const std::string replacement = R"("token" : "***")";
    EXPECT_EQ(RDDIUtility::obfuscateString(R"({"Token": "s3cr3t", "x": 1, "token":"two"})", pattern, replacement),
              R"({"token" : "***", "x": 1, "token" : "***"})");
    EXPECT_EQ(RDDIUtility::obfuscateString("key=abc", "key=(\\w+)", "key=[$1]"), "key=[abc]");
    EXPECT_EQ(RDDIUtility::obfuscateString(std::nullopt, pattern, replacement), std::nullopt);

    EXPECT_EQ(RDDIUtility::obfuscateString("text", "([unclosed", "x"), std::nullopt);
    const auto logs = env.capturedLogs();
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back().level, RDDILogLevelError);
    EXPECT_EQ(logs.back().message.rfind("Couldn't create regular expression with pattern\"([unclosed\": ", 0), 0u);
}

TEST(DateTest, IsoTextRoundTripsAndOnlyTheOnePatternIsAccepted) {
    const auto date = pf::Date::fromTimeIntervalSince1970(1700000000.125);
    EXPECT_EQ(RDDIUtility::dateToISO8601(date), "2023-11-14T22:13:20.125Z");
    EXPECT_EQ(RDDIUtility::dateFromISO8601("2023-11-14T22:13:20.125Z"), date);
    for (const char* refused : {"2023-11-14T22:13:20Z", "2023-11-14 22:13:20.125Z", "2023-11-14T22:13:20.125",
                                "2023-11-14T22:13:20.125+01:00", "2023-02-30T00:00:00.000Z",
                                "2023-11-14T24:00:00.000Z", "2023-13-01T00:00:00.000Z", "x023-11-14T22:13:20.125Z",
                                ""}) {
        EXPECT_EQ(RDDIUtility::dateFromISO8601(refused), std::nullopt) << refused;
    }
    const double before = RDDIUtility::nowInMilliseconds();
    EXPECT_GT(before, 1.7e12);
}

TEST(OrderedDictionaryTest, KeepsFirstInsertionOrder) {
    rddi::RDDIOrderedDictionary dictionary(3);
    dictionary.setObject(pf::Value(1), "c");
    dictionary.setObject(pf::Value(2), "a");
    dictionary.setObject(pf::Value(3), "b");
    dictionary.setObject(pf::Value("again"), "a");
    EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(dictionary.objectForKey("a"), pf::Value("again"));
    EXPECT_TRUE(dictionary.objectForKey("missing").isNull());
    EXPECT_EQ(dictionary.toJson().dump(), R"({"c":1,"a":"again","b":3})");

    auto copy = dictionary.mutableCopy();
    EXPECT_TRUE(copy.isEqualToDictionary(dictionary));
    rddi::RDDIOrderedDictionary reordered;
    for (const char* key : {"a", "b", "c"}) reordered.setObject(dictionary.objectForKey(key), key);
    EXPECT_FALSE(reordered.isEqualToDictionary(dictionary));  // same entries, other order

    copy.removeAllObjects();
    EXPECT_EQ(copy.count(), 0u);
    EXPECT_TRUE(copy.keys().empty());
    EXPECT_EQ(dictionary.count(), 3u);
}

// Inflates a gzip stream with zlib's own gzip reader.
std::optional<pf::Data> gunzip(const pf::Data& compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    pf::Data out;
    unsigned char buffer[4096];
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    return out;
}

TEST(CompressionTest, GzipOfRepetitiveInputInflatesBackAndIncompressibleInputGivesNone) {
    rddi::testkit::TelemetryTestEnvironment env;
    std::string text;
    for (int i = 0; i < 2000; ++i) text += fmt::format(R"({{"type":"event","id":{},"name":"click"}},)", i % 7);
    const pf::Data input = pf::dataFromString(text);
    const auto compressed = rddi::RDDICompression::compressData(input);
    ASSERT_TRUE(compressed);
    EXPECT_LT(compressed->size(), input.size() / 10);
    ASSERT_GE(compressed->size(), 2u);
    EXPECT_EQ((*compressed)[0], 0x1f);  // gzip magic
    EXPECT_EQ((*compressed)[1], 0x8b);
    EXPECT_EQ(gunzip(*compressed), input);

    EXPECT_EQ(rddi::RDDICompression::compressData(pf::Data{}), std::nullopt);
    EXPECT_EQ(rddi::RDDICompression::compressData(std::nullopt), std::nullopt);
    EXPECT_TRUE(env.capturedLogs().empty());

    // 48 random bytes grow under gzip's header and trailer beyond the fixed buffer.
    std::mt19937 random(7);
    pf::Data noise(48);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    EXPECT_EQ(rddi::RDDICompression::compressData(noise), std::nullopt);
    EXPECT_TRUE(env.logged(RDDILogLevelError, "Deflate failed with error: No progress is possible."));
}

TEST(SdkFolderTest, LivesInTheDataHomeAndItsFileOperationsKeepWhatExists) {
    rddi::testkit::TelemetryTestEnvironment env;
    const auto folder = RDDIUtility::dezIdedevDirectoryURL();
    EXPECT_EQ(folder, env.xdg().root() / "data" / "com.norvane.glyphwright" / "com.ridevedod.dezidedev");
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(RDDIUtility::disableBackupForDirectoryURL(folder));

    EXPECT_EQ(RDDIUtility::createFileAtPathComponent(std::nullopt, std::nullopt, true, false), std::nullopt);
    const auto url = RDDIUtility::createFileAtPathComponent("logs/one.txt", pf::dataFromString("first"), true, false);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, folder / "logs/one.txt");
    // Without the overwrite flag an existing file is kept.
    EXPECT_EQ(RDDIUtility::createFileAtPathComponent("logs/one.txt", pf::dataFromString("second"), true, false), url);
    EXPECT_EQ(RDDIUtility::loadDataForPathComponent("logs/one.txt"), pf::dataFromString("first"));
    EXPECT_TRUE(RDDIUtility::createFileAtPathComponent("logs/one.txt", pf::dataFromString("third"), false, true));
    EXPECT_EQ(RDDIUtility::loadDataForPathComponent("logs/one.txt"), pf::dataFromString("third"));
    EXPECT_TRUE(RDDIUtility::createFileAtPathComponent("logs/empty", std::nullopt, true, false));
    EXPECT_EQ(RDDIUtility::loadDataForPathComponent("logs/empty"), pf::Data{});

    EXPECT_TRUE(RDDIUtility::fileExistsForPathComponent("logs/one.txt"));
    const auto entries = RDDIUtility::contentsOfDirectory("logs");
    ASSERT_TRUE(entries);
    EXPECT_EQ(*entries, (std::vector<std::filesystem::path>{folder / "logs/empty", folder / "logs/one.txt"}));
    EXPECT_EQ(RDDIUtility::contentsOfDirectory(""), std::nullopt);
    EXPECT_EQ(RDDIUtility::contentsOfDirectory("missing"), std::nullopt);
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelDebug, fmt::format("Couldn't get files in the directory \"missing\": {}",
                                                                std::make_error_code(std::errc::no_such_file_or_directory).message())));

    EXPECT_EQ(RDDIUtility::createDirectoryForPathComponent("crashes"), folder / "crashes");
    EXPECT_TRUE(std::filesystem::is_directory(folder / "crashes"));
    EXPECT_TRUE(RDDIUtility::deleteItemForPathComponent("logs"));
    EXPECT_FALSE(RDDIUtility::fileExistsForPathComponent("logs/one.txt"));
    EXPECT_FALSE(RDDIUtility::deleteItemForPathComponent("logs"));
    EXPECT_FALSE(RDDIUtility::deleteItemForPathComponent(std::nullopt));
    EXPECT_EQ(RDDIUtility::loadDataForPathComponent("logs/one.txt"), std::nullopt);
}

TEST(SdkFolderTest, AFileInTheWayOfTheFolderIsReportedNotThrown) {
    rddi::testkit::TelemetryTestEnvironment env;
    gwtest::writeFile(RDDIUtility::dezIdedevDirectoryURL() / "blocker", "x");
    EXPECT_EQ(RDDIUtility::createFileAtPathComponent("blocker/inner.txt", pf::dataFromString("y"), true, true),
              std::nullopt);
    bool loggedCreateFailure = false;
    for (const auto& entry : env.capturedLogs()) {
        if (entry.message.rfind("Couldn't create new file at path ", 0) == 0) loggedCreateFailure = true;
    }
    EXPECT_TRUE(loggedCreateFailure);
}

TEST(SdkIdentityTest, NameAndVersionComeFromTheVersionRecord) {
    EXPECT_EQ(RDDIUtility::sdkName(), "dezidedev.macos");
    EXPECT_EQ(RDDIUtility::sdkVersion(), "4.3.0");
    EXPECT_EQ(RDDIUtility::currentAppEnvironment(), 99);
    EXPECT_FALSE(RDDIUtility::hasEmbeddedMobileProvision());
    EXPECT_FALSE(RDDIUtility::isAppStoreReceiptSandbox());
}

TEST(ArchivingTest, FailuresAreLoggedAndAnsweredWithNone) {
    rddi::testkit::TelemetryTestEnvironment env;
    EXPECT_EQ(RDDIUtility::archiveKeyedData(nullptr), std::nullopt);
    EXPECT_EQ(RDDIUtility::unarchiveKeyedData(std::nullopt), nullptr);
    EXPECT_TRUE(env.capturedLogs().empty());

    EXPECT_EQ(RDDIUtility::unarchiveKeyedData(pf::dataFromString("garbage bytes")), nullptr);
    // A class nobody registered.
    struct Stranger : pf::Archivable {
        std::string archiveClassName() const override { return "RDDINoSuchClass"; }
        void encode(pf::KeyedArchiver& archiver) const override { archiver.encodeString("k", "v"); }
    };
    const auto archived = RDDIUtility::archiveKeyedData(std::make_unique<Stranger>().get());
    ASSERT_TRUE(archived);
    EXPECT_EQ(RDDIUtility::unarchiveKeyedData(archived), nullptr);
    int failures = 0;
    for (const auto& entry : env.capturedLogs()) {
        if (entry.level == RDDILogLevelError && entry.message.rfind("Unarchiving NSData failed with error: ", 0) == 0) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, 2);
}

TEST(ApplicationStateTest, FollowsTheApplicationModelOnTheMainThreadOnly) {
    auto& application = platform::appkit::ApplicationState::shared();
    application.reset();
    ASSERT_TRUE(platform::dispatch::MainLoop::isMainThread());
    // The command line has no application object.
    EXPECT_EQ(RDDIUtility::applicationState(), rddi::RDDIApplicationState::active);
    application.setHasApplication(true);
    application.setHidden(true);
    EXPECT_EQ(RDDIUtility::applicationState(), rddi::RDDIApplicationState::background);
    std::atomic<int> offMain{-1};
    std::thread([&] { offMain = static_cast<int>(RDDIUtility::applicationState()); }).join();
    EXPECT_EQ(offMain.load(), 3);
    application.setHidden(false);
    EXPECT_EQ(RDDIUtility::applicationState(), rddi::RDDIApplicationState::active);
    application.reset();
}

TEST(DispatcherUtilTest, WaitsForTheWorkAtMostTheTimeout) {
    const platform::dispatch::DispatchQueue queue("dispatcher-util-test");
    std::atomic<bool> ran{false};
    EXPECT_TRUE(rddi::RDDIDispatcherUtil::dispatchSyncWithTimeout(30.0, queue, [&] { ran = true; }));
    EXPECT_TRUE(ran);

    // Work stuck behind a blocked queue: the caller goes on after the timeout.
    platform::dispatch::DispatchSemaphore release;
    queue.async([release] { release.wait(); });
    std::atomic<bool> late{false};
    EXPECT_FALSE(rddi::RDDIDispatcherUtil::dispatchSyncWithTimeout(0.05, queue, [&] { late = true; }));
    release.signal();
    EXPECT_TRUE(rddi::RDDIDispatcherUtil::dispatchSyncWithTimeout(30.0, queue, [] {}));
    EXPECT_TRUE(late);

    std::atomic<bool> onMain{false};
    rddi::RDDIDispatcherUtil::performBlockOnMainThread([&] { onMain = platform::dispatch::MainLoop::isMainThread(); });
    EXPECT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return onMain.load(); }, std::chrono::seconds(30)));
}

TEST(PropertyValidationTest, CutsLongKeysAndValuesAndStopsAtTwentyEntries) {
    std::map<std::string, std::string> properties;
    for (int i = 0; i < 25; ++i) properties[fmt::format("k{:02}", i)] = "v";
    properties[std::string(130, 'z')] = std::string(130, 'y');
    properties[""] = "skipped";
    const auto valid = RDDIUtility::validateProperties(properties, "name", "event");
    EXPECT_EQ(valid.size(), 20u);
    EXPECT_FALSE(valid.contains(""));

    const auto longOnes = RDDIUtility::validateProperties({{std::string(130, 'z'), std::string(130, 'y')}}, "n", "page");
    ASSERT_EQ(longOnes.size(), 1u);
    EXPECT_EQ(longOnes.begin()->first, std::string(125, 'z'));
    EXPECT_EQ(longOnes.begin()->second, std::string(125, 'y'));
}

TEST(PropertyValidationTest, LengthsAreCountedInUTF16UnitsWithoutSplittingCharacters) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
    EXPECT_EQ(rddi::RDDIUTF16Length("a" + emoji + "\xC3\xA9"), 4u);
    EXPECT_EQ(rddi::RDDITruncateToUTF16Length("ab" + emoji, 3), "ab");
    EXPECT_EQ(rddi::RDDITruncateToUTF16Length("ab" + emoji, 4), "ab" + emoji);
}

}  // namespace
