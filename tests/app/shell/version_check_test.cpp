// The version check over real HTTP from a server on 127.0.0.1, with the manifest refresh
// it starts; handlers are checked to arrive on the main thread.
#include "app/definitions/config_file.hpp"
#include "app/shell/version_check_policy.hpp"
#include "app/shell/version_checker.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/log/system_log.hpp"
#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

namespace pf = platform::foundation;
namespace pl = platform::log;
using gw::OLVVersionChecker;
using gw::VersionCheckPolicy;
using platform::dispatch::MainLoop;

// The cached manifest's place is fixed per process: Application Support in a scratch
// folder that lives as long as the process.
const gwtest::TempDir& processXdg() {
    static gwtest::TempDir dir;
    static const bool set = [] {
        ::setenv("XDG_DATA_HOME", (dir.path() / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir.path() / "cache").c_str(), 1);
        return true;
    }();
    (void)set;
    return dir;
}

struct Outcome {
    int successes = 0;
    int failures = 0;
    bool onMainThread = true;
    float latestBuild = -1;
    std::optional<std::string> display;
    bool force = false;
    std::optional<pf::Error> error;
};

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override {
        processXdg();
        std::error_code ignored;
        std::filesystem::remove(gw::ConfigFile::cachedConfigURL().fsPath(), ignored);
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        server_.Get("/store/glyphwright_version_config.json", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            ++recordRequests_;
            res.status = status_;
            res.set_content(body_, contentType_);
        });
        server_.Get("/store/glyphwright_config_v2.plist", [this](const httplib::Request&, httplib::Response& res) {
            ++manifestRequests_;
            res.set_content(manifest_, "application/xml");
        });
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        useInfo(fmt::format("http://127.0.0.1:{}/store/", port_), "1.0", "42");
        auto root = pf::plist::readFile(gw::ConfigFile::bundleConfigURL().path());
        root.member("marker") = pf::Value("from the server");
        manifest_ = pf::stringFromData(pf::plist::serialize(root, pf::plist::Format::xml));
    }
    void TearDown() override {
        stopServer();
        pf::Bundle::setMain(nullptr);
    }

    void stopServer() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

    static void useInfo(const std::optional<std::string>& folder, const std::string& version, const std::string& build) {
        pf::Dictionary info{{"CFBundleShortVersionString", pf::Value(version)}, {"CFBundleVersion", pf::Value(build)}};
        if (folder) info.emplace(std::string(gw::ConfigFile::kDownloadFolderInfoKey), pf::Value(*folder));
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(std::filesystem::path(GW_SOURCE_DIR) / "resources", info));
    }

    void serveRecord(int status, std::string body, std::string contentType = "application/json") {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
        contentType_ = std::move(contentType);
    }

    // Runs one check and drains the main queue until a handler ran (and a little more,
    // so that a second, wrong call would be seen).
    Outcome check() {
        auto outcome = std::make_shared<Outcome>();
        OLVVersionChecker().checkIfCurrentVersion(
            [outcome](float latest, const std::optional<std::string>& display, bool force) {
                outcome->onMainThread = outcome->onMainThread && MainLoop::isMainThread();
                ++outcome->successes;
                outcome->latestBuild = latest;
                outcome->display = display;
                outcome->force = force;
            },
            [outcome](const pf::Error& error) {
                outcome->onMainThread = outcome->onMainThread && MainLoop::isMainThread();
                ++outcome->failures;
                outcome->error = error;
            });
        EXPECT_TRUE(MainLoop::runUntil([&] { return outcome->successes + outcome->failures > 0; }, std::chrono::seconds(60)));
        MainLoop::drain();
        return *outcome;
    }

    std::string cachedManifest() const {
        const auto path = gw::ConfigFile::cachedConfigURL().fsPath();
        return pf::files::fileExists(path) ? pf::files::readString(path) : std::string("<none>");
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    int status_ = 200;
    std::string body_ = "{}";
    std::string contentType_ = "application/json";
    std::string manifest_;
    int recordRequests_ = 0;
    std::atomic<int> manifestRequests_{0};
    std::vector<std::string> logged_;
    std::mutex logMutex_;
    pl::ScopedLogSink sink_{[this](const pl::LogRecord& record) {
        std::lock_guard lock(logMutex_);
        logged_.push_back(record.message);
    }};
    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex_);
        return logged_;
    }
};

TEST_F(VersionCheck, TheCurrentBuildRefreshesTheManifest) {
    serveRecord(200, R"({"latestBuildVersion": 42, "latestVersionDisplayString": "2.0 build 42", "forceUpdate": false})");
    const auto outcome = check();
    ASSERT_EQ(outcome.successes, 1);
    EXPECT_EQ(outcome.failures, 0);
    EXPECT_TRUE(outcome.onMainThread);
    EXPECT_EQ(outcome.latestBuild, 42.0f);
    EXPECT_EQ(outcome.display, "2.0 build 42");
    EXPECT_FALSE(outcome.force);

    EXPECT_EQ(OLVVersionChecker::currentAppBuild(), 42.0f);
    const VersionCheckPolicy policy;
    EXPECT_FALSE(policy.handleSuccess(OLVVersionChecker::currentAppBuild(), outcome.latestBuild, outcome.display, outcome.force));
    ASSERT_TRUE(MainLoop::runUntil([&] {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), "Refreshed config file successfully") != lines.end();
    }, std::chrono::seconds(60)));
    EXPECT_EQ(manifestRequests_.load(), 1);
    EXPECT_NE(cachedManifest().find("from the server"), std::string::npos);
    const auto lines = logLines();
    EXPECT_EQ(lines.at(0).rfind("Latest version info downloaded: {", 0), 0u) << lines.at(0);
    EXPECT_EQ(lines.at(1), "Running the latest version of Glyphwright. Booyah");
}

TEST_F(VersionCheck, AnOlderBuildGetsTheAlertAndNoRefresh) {
    useInfo(fmt::format("http://127.0.0.1:{}/store/", port_), "1.0", "41.5");
    serveRecord(200, R"({"latestBuildVersion": "42", "forceUpdate": true})");
    std::optional<gw::VersionUpdateAlert> shown;
    VersionCheckPolicy().run(OLVVersionChecker(), [&](const gw::VersionUpdateAlert& alert) {
        EXPECT_TRUE(MainLoop::isMainThread());
        shown = alert;
    });
    ASSERT_TRUE(MainLoop::runUntil([&] { return shown.has_value(); }, std::chrono::seconds(60)));
    EXPECT_EQ(shown->messageText, "A new version of Glyphwright is available: ");
    EXPECT_EQ(shown->informativeText, "Please update to the latest version to keep your asset catalogs up to date.");
    EXPECT_EQ(shown->buttonTitle, "OK");
    EXPECT_TRUE(shown->forceUpdate);
    MainLoop::drain();
    EXPECT_EQ(manifestRequests_.load(), 0);
    EXPECT_EQ(cachedManifest(), "<none>");
}

TEST_F(VersionCheck, RecordValuesAreReadLeniently) {
    const struct {
        const char* body;
        float latest;
        std::optional<std::string> display;
        bool force;
    } cases[] = {
        {R"({"latestBuildVersion": "abc", "forceUpdate": "YES"})", 0.0f, std::nullopt, true},
        {R"({"latestBuildVersion": "1.2.3", "latestVersionDisplayString": 7, "forceUpdate": 0})", 1.2f, std::nullopt, false},
        {R"({"latestVersionDisplayString": "9", "other": [1]})", 0.0f, "9", false},
        {R"({"latestBuildVersion": 12.5, "forceUpdate": 1})", 12.5f, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        serveRecord(200, c.body);
        const auto outcome = check();
        ASSERT_EQ(outcome.successes, 1);
        EXPECT_EQ(outcome.latestBuild, c.latest);
        EXPECT_EQ(outcome.display, c.display);
        EXPECT_EQ(outcome.force, c.force);
    }
    // "abc" reads as build 0: the application counts as current and refreshes.
    std::vector<std::exception_ptr> refreshes;
    const VersionCheckPolicy counting([&](gw::ConfigFile::DownloadCompletion done) {
        refreshes.emplace_back();
        done(nullptr);
    });
    EXPECT_FALSE(counting.handleSuccess(42.0f, 0.0f, std::nullopt, true));
    EXPECT_EQ(refreshes.size(), 1u);
}

TEST_F(VersionCheck, EveryKindOfBadAnswerReachesTheFailureHandlerOnceAndRefreshesNothing) {
    const struct {
        const char* name;
        int status;
        const char* body;
        const char* contentType;
    } cases[] = {
        {"404", 404, "not here", "text/plain"},
        {"500", 500, R"({"latestBuildVersion": 1})", "application/json"},
        {"HTML", 200, "<html><body>hello</body></html>", "text/html"},
        {"broken JSON", 200, R"({"latestBuildVersion": )", "application/json"},
        {"a JSON array", 200, R"([{"latestBuildVersion": 99}])", "application/json"},
        {"a JSON string", 200, R"("99")", "application/json"},
        {"a JSON number", 200, "99", "application/json"},
        {"an empty body", 200, "", "application/json"},
    };
    const VersionCheckPolicy policy;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serveRecord(c.status, c.body, c.contentType);
        {
            std::lock_guard lock(logMutex_);
            logged_.clear();
        }
        const auto outcome = check();
        EXPECT_EQ(outcome.successes, 0);
        ASSERT_EQ(outcome.failures, 1);
        EXPECT_TRUE(outcome.onMainThread);
        policy.handleFailure(*outcome.error);
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("Latest version info download failed: ", 0), 0u) << lines[0];
    }
    // The server gone: the connection is refused.
    stopServer();
    const auto refused = check();
    EXPECT_EQ(refused.successes, 0);
    ASSERT_EQ(refused.failures, 1);
    EXPECT_TRUE(refused.onMainThread);
    EXPECT_EQ(refused.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(manifestRequests_.load(), 0);
    EXPECT_EQ(cachedManifest(), "<none>");
}

TEST_F(VersionCheck, WithoutADownloadFolderTheCheckFailsAtOnceAndFetchesNothing) {
    useInfo(std::nullopt, "1.0", "1");
    const auto outcome = check();
    ASSERT_EQ(outcome.failures, 1);
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(outcome.error->code(), static_cast<int>(OLVVersionChecker::ErrorCode::noDownloadFolder));
    EXPECT_NE(std::string(outcome.error->what()).find("GWManifestDownloadFolder"), std::string::npos);
    VersionCheckPolicy().handleFailure(*outcome.error);
    EXPECT_EQ(logLines().back().rfind("Latest version info download failed: No version record location", 0), 0u);
    std::lock_guard lock(mutex_);
    EXPECT_EQ(recordRequests_, 0);
    EXPECT_EQ(manifestRequests_.load(), 0);
}

TEST(BundleNumbers, TextsReadAsFloatsByTheirLeadingNumber) {
    const struct {
        const char* text;
        float value;
    } cases[] = {{"1.2.3", 1.2f}, {"42", 42.0f}, {"  7.5 beta", 7.5f}, {"abc", 0.0f}, {"", 0.0f},
                 {"-3", -3.0f},   {".5", 0.5f},  {"1e2", 100.0f},      {"1e", 1.0f},  {"0x10", 0.0f}};
    for (const auto& c : cases) EXPECT_EQ(gw::floatValue(c.text), c.value) << c.text;
    // Builds compare as floats: "1.10" is older than "1.9".
    EXPECT_LT(gw::floatValue("1.10"), gw::floatValue("1.9"));
}

}  // namespace
