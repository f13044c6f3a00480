#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/support/http/loopback_server.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <regex>

namespace {

namespace pf = platform::foundation;
namespace net = platform::network;
using platform::dispatch::MainLoop;
using rddi::RDDIHttpClient;
using rddi::testkit::LoopbackServer;
using rddi::testkit::ScriptedAnswer;

struct Outcome {
    std::optional<pf::Data> data;
    std::optional<net::HTTPURLResponse> response;
    std::optional<pf::Error> error;
};

// Collects handler calls from any thread.
class Outcomes {
public:
    rddi::RDDIHttpRequestCompletionHandler handler() {
        return [this](const std::optional<pf::Data>& data, const std::optional<net::HTTPURLResponse>& response,
                      const std::optional<pf::Error>& error) {
            std::lock_guard lock(mutex_);
            outcomes_.push_back({data, response, error});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return outcomes_.size() >= count; });
    }
    std::vector<Outcome> all() {
        std::lock_guard lock(mutex_);
        return outcomes_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return outcomes_.size();
    }
    // Waits for the first answer and gives its status, or -1 when none came with a response.
    long firstStatus() {
        if (!waitFor(1)) return -1;
        const auto first = all()[0];
        return first.response ? static_cast<long>(first.response->statusCode) : -1;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Outcome> outcomes_;
};

// The SDK's log lines, for the retry announcements.
class CapturedLines {
public:
    CapturedLines() {
        previous_ = rddi::RDDILogger::logHandler();
        rddi::RDDILogger::setLogHandler([this](const rddi::RDDILogMessageProvider& provider, rddi::RDDILogLevel,
                                               const std::string&, const char*, const char*, std::uint32_t) {
            std::lock_guard lock(mutex_);
            lines_.push_back(provider ? provider() : std::string());
            changed_.notify_all();
        });
    }
    ~CapturedLines() { rddi::RDDILogger::setLogHandler(previous_); }
    // Waits for the `nth` (from 1) line containing `text` and returns it.
    std::string waitForLine(const std::string& text, std::size_t nth = 1) {
        std::unique_lock lock(mutex_);
        std::string found;
        changed_.wait_for(lock, std::chrono::seconds(30), [&] {
            std::size_t seen = 0;
            for (const auto& line : lines_) {
                if (line.find(text) != std::string::npos && ++seen == nth) {
                    found = line;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    rddi::RDDILogHandler previous_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// The delay a retry announcement gives.
long announcedDelay(const std::string& line) {
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("retried in (\\d+) ms"))) return -1;
    return std::stol(match[1]);
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        reachability_ = rddi::RDDI_Reachability::withStatusSource([this]() -> std::optional<bool> { return online_.load(); });
        notices_ = pf::NotificationCenter::defaultCenter().addObserver(
            std::string(net::kReachabilityChangedNotification), reachability_.get(),
            [this](const pf::Notification&) { ++noticeCount_; });
    }
    void TearDown() override {
        client_.reset();
        pf::NotificationCenter::defaultCenter().removeObserver(notices_);
        server_.stop();
    }

    // A client on the injected watcher, once it has heard the watcher's first notice.
    void makeClient(double requestTimeout = 60) {
        net::URLSessionConfiguration configuration;
        configuration.timeoutIntervalForRequest = requestTimeout;
        client_ = RDDIHttpClient::create(std::nullopt, reachability_, configuration);
        deliverNotices(1);
    }
    void deliverNotices(int count) {
        ASSERT_TRUE(MainLoop::runUntil([&] { return noticeCount_ >= count; }, std::chrono::seconds(30)));
    }
    void goOnline(bool online, int notice) {
        online_ = online;
        reachability_->statusMayHaveChanged();
        deliverNotices(notice);
    }
    pf::URL url(const std::string& path = "/logs") const { return *pf::URL::fromString(server_.baseURL() + path); }
    void send(Outcomes& outcomes, const std::vector<double>& intervals = {10, 300, 1200},
              std::optional<pf::Data> body = pf::dataFromString("{}")) {
        client_->sendAsync(url(), "POST", {{"Install-ID", "42"}}, body, intervals, true, outcomes.handler());
    }

    rddi::testkit::ScopedManualClock clock_;
    std::atomic<bool> online_ = true;
    std::shared_ptr<rddi::RDDI_Reachability> reachability_;
    pf::NotificationCenter::Token notices_ = 0;
    int noticeCount_ = 0;
    LoopbackServer server_;
    std::shared_ptr<RDDIHttpClient> client_;
};

TEST_F(HttpClientTest, GzipsBodiesFromTheThresholdOnWhenThatMakesThemSmaller) {
    makeClient();
    std::mt19937 random(7);
    pf::Data noise(4096);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    struct Case {
        pf::Data body;
        bool gzipped;
    } cases[] = {
        {pf::Data(1399, 'a'), false},
        {pf::Data(1400, 'a'), true},
        {noise, false},  // gzip would make it larger
    };
    Outcomes outcomes;
    for (const auto& c : cases) send(outcomes, {10}, c.body);
    ASSERT_TRUE(outcomes.waitFor(std::size(cases)));
    auto seen = server_.requests();
    ASSERT_EQ(seen.size(), std::size(cases));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        // Requests may go out side by side, so they are matched by size.
        const auto& request = *std::find_if(seen.begin(), seen.end(), [&](const auto& r) { return r.body.size() == cases[i].body.size(); });
        SCOPED_TRACE(i);
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.body, std::string(cases[i].body.begin(), cases[i].body.end()));
        EXPECT_EQ(request.header("Content-Encoding").has_value(), cases[i].gzipped);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("Install-ID"), "42");
    }
    for (const auto& outcome : outcomes.all()) EXPECT_EQ(outcome.response->statusCode, 200);
}

TEST_F(HttpClientTest, RetriesOnTheServersDelayOrTheScheduleThenPausesWithTheLastAnswer) {
    CapturedLines lines;
    makeClient();
    server_.script({{.status = 429, .headers = {{"x-rd-retry-after-ms", "2000"}}}, {.status = 200}});
    Outcomes first;
    send(first);
    auto announced = lines.waitForLine("it will be retried in");
    EXPECT_EQ(announced, "Call attempt #0 failed with status code: 429, it will be retried in 2000 ms.");
    clock_->advance(std::chrono::milliseconds(1999));
    EXPECT_EQ(server_.requestCount(), 1u);
    clock_->advance(std::chrono::milliseconds(1));
    ASSERT_EQ(first.firstStatus(), 200);
    EXPECT_EQ(server_.requestCount(), 2u);

    // Unusable server delays fall back to the schedule (half the interval plus up
    // to as much again); long ones are cut to its last interval.
    server_.script({{.status = 503, .headers = {{"x-rd-retry-after-ms", "soon"}}},
                    {.status = 503, .headers = {{"x-rd-retry-after-ms", "-5"}}},
                    {.status = 503, .headers = {{"x-rd-retry-after-ms", "99999999"}}},
                    {.status = 503}});
    Outcomes second;
    send(second, {2, 4, 8});
    const std::pair<long, long> expected[] = {{1000, 1999}, {2000, 3999}, {8000, 8000}};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto line = lines.waitForLine("it will be retried in", i + 2);
        const auto delay = announcedDelay(line);
        EXPECT_GE(delay, expected[i].first) << line;
        EXPECT_LE(delay, expected[i].second) << line;
        EXPECT_EQ(second.count(), 0u);
        clock_->advance(std::chrono::milliseconds(delay));
    }
    ASSERT_EQ(second.firstStatus(), 503);
    EXPECT_EQ(server_.requestCount(), 6u);
    EXPECT_TRUE(client_->isPaused());
    EXPECT_TRUE(client_->isEnabled());

    // Paused, a new call waits until the client resumes.
    Outcomes third;
    send(third);
    EXPECT_EQ(client_->pendingCallCount(), 1u);
    client_->resume();
    ASSERT_EQ(third.firstStatus(), 200);
    EXPECT_EQ(client_->pendingCallCount(), 0u);
}

TEST_F(HttpClientTest, AnyOtherStatusAnswersOnlyItsCallAndTheClientKeepsServing) {
    for (int status : {400, 404, 300}) {
        SCOPED_TRACE(status);
        LoopbackServer server;
        const auto target = *pf::URL::fromString(server.baseURL() + "/logs");
        makeClient();
        // Another sender's call is in flight when the hard answer comes.
        server.setResponder([status](const rddi::testkit::RecordedRequest& request) -> std::optional<ScriptedAnswer> {
            if (request.body == R"({"other":1})") return ScriptedAnswer{.status = 200, .gate = "other"};
            if (request.body == R"({"refused":1})") return ScriptedAnswer{.status = status};
            return std::nullopt;
        });
        Outcomes other, refused, resent;
        client_->sendAsync(target, "POST", {}, pf::dataFromString(R"({"other":1})"), {10}, true, other.handler());
        ASSERT_TRUE(MainLoop::runUntil([&] { return server.heldCount() == 1; }, std::chrono::seconds(30)));
        // The handler runs outside the client's lock and may send again.
        client_->sendAsync(target, "POST", {}, pf::dataFromString(R"({"refused":1})"), {10}, true,
                           [&, handler = refused.handler()](const auto& data, const auto& response, const auto& error) {
                               handler(data, response, error);
                               client_->sendAsync(target, "POST", {}, pf::dataFromString("{}"), {10}, true,
                                                  resent.handler());
                           });
        ASSERT_EQ(refused.firstStatus(), status);
        EXPECT_FALSE(refused.all()[0].error.has_value());
        ASSERT_EQ(resent.firstStatus(), 200);
        EXPECT_TRUE(client_->isEnabled());
        EXPECT_FALSE(client_->isPaused());

        // The other call was neither dropped nor sent twice.
        server.openGate("other");
        ASSERT_EQ(other.firstStatus(), 200);
        server.stop();
        std::size_t otherSends = 0;
        for (const auto& request : server.requests()) otherSends += request.body == R"({"other":1})";
        EXPECT_EQ(otherSends, 1u);
        EXPECT_EQ(other.count(), 1u);
        EXPECT_EQ(refused.count(), 1u);
        client_.reset();
    }
}

TEST_F(HttpClientTest, KeepsCallsWhileOfflineAndDropsThemWhenDisabledWithDeletion) {
    online_ = false;
    makeClient();
    EXPECT_TRUE(client_->isPaused());
    Outcomes kept;
    send(kept);
    goOnline(true, 2);
    ASSERT_EQ(kept.firstStatus(), 200);

    goOnline(false, 3);
    Outcomes dropped;
    send(dropped);
    send(dropped);
    client_->setEnabled(false, true);
    ASSERT_TRUE(dropped.waitFor(2));
    for (const auto& outcome : dropped.all()) {
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->code(), rddi::kRDDICanceledErrorCode);
        EXPECT_EQ(outcome.error->localizedDescription(), "The operation was canceled.");
    }
    EXPECT_EQ(server_.requestCount(), 1u);

    // Enabled again with a fresh session, and online, it sends.
    client_->setEnabled(true, false);
    deliverNotices(4);  // the restarted notifier's first notice
    goOnline(true, 5);
    Outcomes after;
    send(after);
    ASSERT_EQ(after.firstStatus(), 200);
}

TEST_F(HttpClientTest, TransportFailuresWhileOnlineAreRetriedThenHandedOver) {
    CapturedLines lines;
    makeClient(0.5);
    // A connection cut mid-answer counts as a lost connection; the watcher says the
    // network is up, so nothing would ever resume the call: it runs its schedule.
    server_.script({{.closeMidBody = true}, {.closeMidBody = true}, {.closeMidBody = true}});
    Outcomes cut;
    send(cut, {1, 1});
    for (std::size_t i = 1; i <= 2; ++i) {
        const auto line = lines.waitForLine("it will be retried in", i);
        EXPECT_NE(line.find("status code: 0"), std::string::npos) << line;
        clock_->advance(std::chrono::milliseconds(announcedDelay(line)));
    }
    ASSERT_TRUE(cut.waitFor(1));
    ASSERT_TRUE(cut.all()[0].error.has_value());
    EXPECT_EQ(cut.all()[0].error->code(), static_cast<int>(net::URLErrorCode::networkConnectionLost));
    EXPECT_EQ(server_.requestCount(), 3u);

    // A server that never answers ends in the session's timeout, handed over at once.
    server_.answer({.neverAnswer = true});
    Outcomes silent;
    send(silent);
    ASSERT_TRUE(silent.waitFor(1));
    ASSERT_TRUE(silent.all()[0].error.has_value());
    EXPECT_EQ(silent.all()[0].error->code(), static_cast<int>(net::URLErrorCode::timedOut));
    EXPECT_TRUE(client_->isEnabled());
    EXPECT_FALSE(client_->isPaused());
}

constexpr const char* kEndAtOnceVariable = "GW_HTTP_CLIENT_END_AT_ONCE";

// A program that makes a client and ends at once, as a command line run that has nothing to
// send does: runs only as a child process of the test below.
TEST(HttpClientChildProcess, MakeAClientThenEnd) {
    if (!std::getenv(kEndAtOnceVariable)) GTEST_SKIP() << "runs as a child process only";
    const auto client = RDDIHttpClient::create(
        std::nullopt, rddi::RDDI_Reachability::withStatusSource([] { return std::optional<bool>(true); }));
    std::exit(0);
}

TEST(HttpClientEnd, AProcessEndingWhileTheHttpLibraryIsSetUpEndsWell) {
    // A client loads the HTTP library beside its caller's work. A process that ended while that
    // load was still setting the library up died at its very end, a segmentation fault in the
    // crypto library's locks, which the process's exit had already freed. A preloaded library
    // holds the set-up until the exit has begun and then lets it go on as that exit ends, as a
    // loading thread a busy machine starved would: every launch ends with status 0.
    constexpr int kLaunches = 40;
    int died = 0, held = 0;
    std::string how;
    std::string sanitizerOptions = "verify_asan_link_order=0";
    if (const char* options = std::getenv("ASAN_OPTIONS")) sanitizerOptions = std::string(options) + ":" + sanitizerOptions;
    for (int i = 0; i < kLaunches; ++i) {
        gwtest::TempDir scratch;
        const auto heldReport = scratch / "held";
        const pid_t child = rddi::testkit::spawnSelf({"HttpClientChildProcess.MakeAClientThenEnd",
                                                      {{kEndAtOnceVariable, "1"},
                                                       {"LD_PRELOAD", GW_HTTP_LIBRARY_HOLD},
                                                       {"GW_HTTP_HOLD_REPORT", heldReport.string()},
                                                       {"ASAN_OPTIONS", sanitizerOptions}},
                                                      scratch / "output.txt"});
        ASSERT_GT(child, 0);
        // Generous: only a hang would reach it.
        const int status = rddi::testkit::waitForChild(child, std::chrono::minutes(2));
        held += std::filesystem::exists(heldReport);
        if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
        ++died;
        if (how.empty()) {
            how = status == -1 ? "hung" : WIFSIGNALED(status) ? strsignal(WTERMSIG(status))
                                                              : "status " + std::to_string(WEXITSTATUS(status));
        }
    }
    if (held == 0 && died == 0) GTEST_SKIP() << "the HTTP library here sets up no SSH part, which the test holds";
    EXPECT_EQ(died, 0) << died << " of " << kLaunches << " launches ended badly, the first: " << how;
}

TEST(HttpUtilTest, ClassifiesStatusesAndErrorsAndMasksSecrets) {
    using U = rddi::RDDIHttpUtil;
    for (long status : {0L, 408L, 429L, 500L, 503L, 599L}) EXPECT_TRUE(U::isRecoverableError(status)) << status;
    for (long status : {200L, 300L, 400L, 404L, 407L, 499L}) EXPECT_FALSE(U::isRecoverableError(status)) << status;
    EXPECT_TRUE(U::isSuccessStatusCode(200) && U::isSuccessStatusCode(299));
    EXPECT_FALSE(U::isSuccessStatusCode(199) || U::isSuccessStatusCode(300));

    const std::string domain(net::kURLErrorDomain);
    EXPECT_TRUE(U::isNoInternetConnectionError(pf::Error(domain, -1009, "")));
    EXPECT_TRUE(U::isNoInternetConnectionError(pf::Error(domain, -1005, "")));
    EXPECT_FALSE(U::isNoInternetConnectionError(pf::Error("other", -1009, "")));
    EXPECT_FALSE(U::isNoInternetConnectionError(pf::Error(domain, -1001, "")));
    EXPECT_TRUE(U::isSSLConnectionError(pf::Error(domain, -1200, "")));
    EXPECT_TRUE(U::isSSLConnectionError(pf::Error(domain, -2000, "")));
    EXPECT_FALSE(U::isSSLConnectionError(pf::Error(domain, -1199, "")));
    EXPECT_FALSE(U::isSSLConnectionError(pf::Error(domain, -2001, "")));

    EXPECT_EQ(U::hideSecret("abcdefghijkl"), "****efghijkl");
    EXPECT_EQ(U::hideSecret(std::string(28, 'x') + "12345678"), std::string(28, '*') + "12345678");
    EXPECT_EQ(U::hideSecret("12345678"), "********");
    EXPECT_EQ(U::hideSecret("abc"), "***");
    EXPECT_EQ(U::hideSecret(""), "");
    EXPECT_EQ(U::hideSecretInString("k=abcdefghijkl; again abcdefghijkl", "abcdefghijkl"),
              "k=****efghijkl; again ****efghijkl");
    EXPECT_EQ(U::hideSecretInString("nothing here", ""), "nothing here");

    using rddi::networkStatusForFlags;
    EXPECT_EQ(networkStatusForFlags(0), rddi::RDDINetworkStatus::notReachable);
    EXPECT_EQ(networkStatusForFlags(2), rddi::RDDINetworkStatus::reachable);
    EXPECT_EQ(networkStatusForFlags(2 | 4), rddi::RDDINetworkStatus::notReachable);
    EXPECT_EQ(networkStatusForFlags(2 | 4 | 32), rddi::RDDINetworkStatus::reachable);
    EXPECT_EQ(networkStatusForFlags(2 | 4 | 8 | 16), rddi::RDDINetworkStatus::notReachable);
}

}  // namespace
