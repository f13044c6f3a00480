#include "telemetry/pipeline/rddi_http_ingestion.hpp"
#include "telemetry/pipeline/rddi_http_util.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"
#include "telemetry/pipeline/rddi_vud_ezezevuvo_ingestion.hpp"

#include "platform/foundation/date.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/http/loopback_server.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

namespace {

using namespace rddi;
namespace pf = platform::foundation;
namespace net = platform::network;
using testkit::LoopbackServer;

struct Answer {
    std::string callId;
    std::optional<net::HTTPURLResponse> response;
    std::optional<pf::Data> data;
    std::optional<pf::Error> error;
};

// Collects ingestion answers from any thread.
class Answers {
public:
    RDDISendAsyncCompletionHandler handler() {
        return [this](const std::string& callId, const std::optional<net::HTTPURLResponse>& response,
                      const std::optional<pf::Data>& data, const std::optional<pf::Error>& error) {
            std::lock_guard lock(mutex_);
            answers_.push_back({callId, response, data, error});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return answers_.size() >= count; });
    }
    std::vector<Answer> all() {
        std::lock_guard lock(mutex_);
        return answers_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Answer> answers_;
};

std::shared_ptr<RDDIAbstractLog> startServiceLog(int n) {
    auto log = std::make_shared<RDDIStartServiceLog>();
    log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000 + n);
    log->device = RDDIDeviceTracker::sharedInstance()->device();
    log->sid = "session-" + std::to_string(n);
    log->services = std::vector<std::string>{"Analytics", "Crashes"};
    return log;
}

std::shared_ptr<RDDICommonSchemaLog> commonSchemaLog(const std::string& name, const std::string& token,
                                                     std::vector<std::string> ticketKeys = {}) {
    auto log = std::make_shared<RDDICommonSchemaLog>();
    log->ver = "3.0";
    log->name = name;
    log->timestamp = pf::Date::fromTimeIntervalSince1970(1700000000.5);
    log->iKey = RDDIUtility::iKeyFromTargetToken(token);
    log->ext = std::make_shared<RDDICSExtensions>();
    if (!ticketKeys.empty()) {
        log->ext->protocolExt = std::make_shared<RDDIProtocolExtension>();
        log->ext->protocolExt->ticketKeys = std::move(ticketKeys);
    }
    log->addTransmissionTargetToken(token);
    return log;
}

bool loggedContaining(const testkit::TelemetryTestEnvironment& env, const std::string& text) {
    for (const auto& entry : env.capturedLogs()) {
        if (entry.message.find(text) != std::string::npos) return true;
    }
    return false;
}

std::set<std::string> split(const std::string& text) {
    std::set<std::string> parts;
    std::size_t from = 0;
    for (auto comma = text.find(','); ; comma = text.find(',', from)) {
        parts.insert(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return parts;
}

class IngestionTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDITicketCache::sharedInstance().clearCache();
        // Online for good: these tests are about what goes on the wire.
        auto reachability = RDDI_Reachability::withStatusSource([]() -> std::optional<bool> { return true; });
        client_ = RDDIHttpClient::create(std::nullopt, reachability);
    }
    void TearDown() override {
        RDDITicketCache::sharedInstance().clearCache();
        client_.reset();
        server_.stop();
    }

    testkit::TelemetryTestEnvironment env_;
    LoopbackServer server_;
    std::shared_ptr<RDDIHttpClient> client_;
};

TEST_F(IngestionTest, DezIdedevPostsTheBatchWithItsHeadersAndMasksTheSecretInVerboseLogs) {
    RDDILogger::setCurrentLogLevel(RDDILogLevelVerbose);
    const std::string secret = "0123456789abcdef0123456789ABCDEFGHIJ";  // 36 characters
    auto ingestion = RDDIDezIdedevIngestion::create(client_, server_.baseURL(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(ingestion->isReadyToSend());
    ingestion->setAppSecret(secret);
    EXPECT_TRUE(ingestion->isReadyToSend());
    EXPECT_EQ(client_->delegate().get(), ingestion.get());

    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
    for (int n = 0; n < 6; ++n) logs.push_back(startServiceLog(n));
    auto container = std::make_shared<RDDILogContainer>("batch-1", logs);
    server_.answer({.status = 200, .body = R"({"status":"Success","list":[1,2]})"});
    Answers answers;
    ingestion->sendAsync(container, answers.handler());
    ASSERT_TRUE(answers.waitFor(1));
    const auto answer = answers.all()[0];
    EXPECT_EQ(answer.callId, "batch-1");
    ASSERT_TRUE(answer.response.has_value());
    EXPECT_EQ(answer.response->statusCode, 200);
    EXPECT_FALSE(answer.error.has_value());

    const auto request = server_.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.queryValue("api-version"), "1.0.0");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Install-ID"), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(request.header("App-Secret"), secret);
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");  // six logs pass the threshold
    ASSERT_TRUE(request.json.has_value());
    ASSERT_EQ(request.json->size(), 1u);
    ASSERT_EQ(request.json->at("logs").size(), 6u);
    EXPECT_EQ(request.json->at("logs")[0].at("type"), "startService");
    EXPECT_EQ(request.json->at("logs")[5].at("sid"), "session-5");

    EXPECT_TRUE(loggedContaining(env_, "URL: " + server_.baseURL() + "/logs?api-version=1.0.0"));
    EXPECT_TRUE(loggedContaining(env_, "App-Secret = " + std::string(28, '*') + "CDEFGHIJ"));
    EXPECT_TRUE(loggedContaining(env_, "Install-ID = E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_TRUE(loggedContaining(env_, "HTTP response received with status code: 200, payload:\n{"));
    EXPECT_TRUE(loggedContaining(env_, "\"status\""));
    EXPECT_FALSE(loggedContaining(env_, secret));

    // Response bodies in the verbose log: broken JSON and bytes that are not UTF-8 are
    // printed as text, other media as "<binary>", an empty body as "(null)".
    struct Case {
        testkit::ScriptedAnswer answer;
        std::string logged;
    } cases[] = {
        {{.status = 201, .body = "{\"broken\": \xff", .contentType = "application/json"},
         "status code: 201, payload:\n{\"broken\": \xEF\xBF\xBD"},
        {{.status = 202, .body = "\x89PNG\r\n", .contentType = "image/png"}, "status code: 202, payload:\n<binary>"},
        {{.status = 203, .body = "plain \xc3 text", .contentType = "text/plain"},
         "status code: 203, payload:\nplain \xEF\xBF\xBD text"},
        {{.status = 204, .body = "", .contentType = "text/plain"}, "status code: 204, payload:\n(null)"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        server_.answer(cases[i].answer);
        ingestion->sendAsync(std::make_shared<RDDILogContainer>("batch-" + std::to_string(i + 2), logs), answers.handler());
        ASSERT_TRUE(answers.waitFor(i + 2));
        EXPECT_TRUE(loggedContaining(env_, cases[i].logged)) << cases[i].logged;
    }
}

TEST_F(IngestionTest, RefusesWhatCannotBeSentAndReachesNothing) {
    auto ingestion = RDDIDezIdedevIngestion::create(client_, server_.baseURL(), "install");
    auto csIngestion = RDDIVudEzezevuvoIngestion::create(client_, server_.baseURL());
    const auto valid = std::make_shared<RDDILogContainer>("valid", std::vector{startServiceLog(1)});
    const auto validCs = std::make_shared<RDDILogContainer>(
        "valid-cs", std::vector<std::shared_ptr<RDDIAbstractLog>>{commonSchemaLog("e", "tok-1")});

    // Without an app secret the batch is only logged; no answer ever comes.
    Answers none;
    ingestion->sendAsync(valid, none.handler());
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "DezIdedev ingestion is used without app secret."));
    ingestion->setAppSecret("secret\r\nX-Injected: 1");
    EXPECT_FALSE(ingestion->isReadyToSend());
    ingestion->setAppSecret("good-secret");

    // A container without logs, or with an invalid log: code 1 with the batch id.
    auto noName = commonSchemaLog("", "tok-1");
    noName->name.reset();
    const std::pair<std::shared_ptr<RDDIIngestionProtocol>, std::shared_ptr<RDDILogContainer>> invalid[] = {
        {ingestion, std::make_shared<RDDILogContainer>("empty", std::vector<std::shared_ptr<RDDIAbstractLog>>{})},
        {ingestion, std::make_shared<RDDILogContainer>("no-device", std::vector<std::shared_ptr<RDDIAbstractLog>>{
                                                                        std::make_shared<RDDIStartServiceLog>()})},
        {csIngestion, std::make_shared<RDDILogContainer>("empty-cs", std::vector<std::shared_ptr<RDDIAbstractLog>>{})},
        {csIngestion, std::make_shared<RDDILogContainer>("no-name", std::vector<std::shared_ptr<RDDIAbstractLog>>{noName})},
    };
    for (const auto& [target, container] : invalid) {
        Answers answers;
        target->sendAsync(container, answers.handler());
        ASSERT_EQ(answers.all().size(), 1u) << *container->batchId;  // at once
        const auto answer = answers.all()[0];
        EXPECT_EQ(answer.callId, *container->batchId);
        ASSERT_TRUE(answer.error.has_value());
        EXPECT_EQ(answer.error->domain(), "com.Ridevedod.DezIdedev.ErrorDomain");
        EXPECT_EQ(answer.error->code(), 1);
        EXPECT_EQ(answer.error->localizedDescription(), "Invalid log container.");
    }

    // The SDK's network switch off, or the ingestion disabled: code 3 at once.
    for (int round = 0; round < 2; ++round) {
        if (round == 0) RDDIDezIdedev::setNetworkRequestsAllowed(false);
        if (round == 1) {
            RDDIDezIdedev::setNetworkRequestsAllowed(true);
            ingestion->setEnabled(false, false);
            csIngestion->setEnabled(false, true);
        }
        Answers answers;
        ingestion->sendAsync(valid, answers.handler());
        csIngestion->sendAsync(validCs, answers.handler());
        ASSERT_EQ(answers.all().size(), 2u);
        for (const auto& answer : answers.all()) {
            ASSERT_TRUE(answer.error.has_value());
            EXPECT_EQ(answer.error->code(), 3);
            EXPECT_EQ(answer.error->localizedDescription(), "The service is disabled.");
            EXPECT_FALSE(answer.response.has_value());
        }
        EXPECT_EQ(answers.all()[0].callId, "valid");
        EXPECT_EQ(answers.all()[1].callId, "valid-cs");
    }
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning, "RDDIDezIdedevIngestion is disabled."));
    EXPECT_EQ(none.all().size(), 0u);
    EXPECT_EQ(server_.requestCount(), 0u);

    // Secrets, tokens and tickets holding CR, LF or NUL are refused where they enter.
    EXPECT_EQ(RDDIUtility::appSecretFrom("appsecret=abc\r\nX: 1"), std::nullopt);
    EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom("target=tok\nX: 1"), std::nullopt);
    EXPECT_EQ(RDDIUtility::appSecretFrom(std::string("abc\0def", 7)), std::nullopt);
    EXPECT_EQ(RDDIUtility::appSecretFrom("appsecret=abc;target=tok"), "abc");
    auto log = commonSchemaLog("e", "tok-1");
    log->addTransmissionTargetToken("tok-2\r\nX: 1");
    EXPECT_EQ(log->transmissionTargetTokens(), (std::set<std::string>{"tok-1"}));
    RDDITicketCache::sharedInstance().setTicket("p:ok", "key");
    RDDITicketCache::sharedInstance().setTicket("p:bad\nX: 1", "key");
    EXPECT_EQ(RDDITicketCache::sharedInstance().ticketFor("key"), "p:ok");
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "A ticket holding a line break or NUL character is ignored."));

    // The dependency configuration hands over an injected client, or none.
    EXPECT_EQ(RDDIDependencyConfiguration::httpClient(), nullptr);
    RDDIDependencyConfiguration::setHttpClient(client_);
    EXPECT_EQ(RDDIDependencyConfiguration::httpClient().get(), static_cast<RDDIHttpClientProtocol*>(client_.get()));
    RDDIDependencyConfiguration::setHttpClient(nullptr);
}

TEST_F(IngestionTest, ChangingTheBaseUrlKeepsTheQueryAndRefusesWhatIsNotABase) {
    auto ingestion = RDDIDezIdedevIngestion::create(client_, "https://in.example.test", "install");
    EXPECT_EQ(ingestion->sendURL().absoluteString(), "https://in.example.test/logs?api-version=1.0.0");
    for (const std::string bad : {"not a url", "example.com", "localhost:8080", "http://h.test/some/path", "http://h.test?q=1"}) {
        ingestion->setBaseURL(bad);
        EXPECT_EQ(ingestion->sendURL().absoluteString(), "https://in.example.test/logs?api-version=1.0.0") << bad;
        EXPECT_TRUE(env_.logged(RDDILogLevelInfo, "Failed to update HTTP URL https://in.example.test/logs?api-version=1.0.0 with " + bad)) << bad;
    }
    ingestion->setBaseURL("http://user:pw@127.0.0.2:8080/");
    EXPECT_EQ(ingestion->sendURL().absoluteString(), "http://user:pw@127.0.0.2:8080/logs?api-version=1.0.0");
    EXPECT_EQ(ingestion->baseURL(), "http://user:pw@127.0.0.2:8080/");

    EXPECT_EQ(RDDIHttpIngestion::buildURLWithBaseURL("http://h.test", "/p", {{"a", "x y"}, {"b", "ü"}})->absoluteString(),
              "http://h.test/p?a=x%20y&b=%C3%BC");
    net::HTTPURLResponse response;
    response.headers = {{"content-type", "text/plain"}, {"etag", "\"v1\""}};
    EXPECT_EQ(RDDIHttpIngestion::eTagFromResponse(response), "\"v1\"");
    response.headers.erase("etag");
    EXPECT_EQ(RDDIHttpIngestion::eTagFromResponse(response), std::nullopt);
}

TEST_F(IngestionTest, CommonSchemaPostsOneObjectPerLineWithTokensOnceAndCachedTickets) {
    RDDILogger::setCurrentLogLevel(RDDILogLevelVerbose);
    const std::string tokenA = "aaaaaaaa-1111-2222-3333-444444444444";
    const std::string tokenB = "bbbbbbbb-5555-6666-7777-888888888888";
    auto ingestion = RDDIVudEzezevuvoIngestion::create(client_, server_.baseURL());
    RDDITicketCache::sharedInstance().setTicket("p:secret-ticket-value", "t1");

    auto container = std::make_shared<RDDILogContainer>(
        "cs-batch", std::vector<std::shared_ptr<RDDIAbstractLog>>{commonSchemaLog("first", tokenA, {"t1", "t2"}),
                                                                  commonSchemaLog("second", tokenA),
                                                                  commonSchemaLog("third", tokenB, {"t2"})});
    server_.answer({.status = 200, .body = R"({"acc":3,"token" : "response-secret-token"})"});
    const auto before = static_cast<std::int64_t>(RDDIUtility::nowInMilliseconds());
    Answers answers;
    ingestion->sendAsync(container, answers.handler());
    ASSERT_TRUE(answers.waitFor(1));
    const auto after = static_cast<std::int64_t>(RDDIUtility::nowInMilliseconds());
    EXPECT_EQ(answers.all()[0].callId, "cs-batch");
    EXPECT_EQ(answers.all()[0].response->statusCode, 200);

    // Without cached tickets there is no "Tickets" header.
    RDDITicketCache::sharedInstance().clearCache();
    ingestion->sendAsync(container, answers.handler());
    ASSERT_TRUE(answers.waitFor(2));

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/VudEzezevuvo/1.0");
    EXPECT_TRUE(request.query.empty());
    EXPECT_EQ(request.header("Content-Type"), "application/x-json-stream; charset=utf-8");
    EXPECT_EQ(request.header("Client-Version"), "ACS-iOS-ObjectiveC-no-" + RDDIUtility::sdkVersion() + "-no");
    ASSERT_EQ(request.headerCount("apikey"), 1u);
    const auto apikey = *request.header("apikey");
    EXPECT_EQ(split(apikey), (std::set<std::string>{tokenA, tokenB}));
    EXPECT_EQ(apikey.size(), tokenA.size() + 1 + tokenB.size());  // each token once
    const auto uploadTime = std::stoll(*request.header("Upload-Time"));
    EXPECT_GE(uploadTime, before);
    EXPECT_LE(uploadTime, after);
    EXPECT_EQ(nlohmann::json::parse(*request.header("Tickets")), nlohmann::json({{"t1", "p:secret-ticket-value"}}));
    ASSERT_EQ(request.jsonLines.size(), 3u);
    EXPECT_EQ(request.jsonLines[0].at("name"), "first");
    EXPECT_EQ(request.jsonLines[2].at("iKey"), "o:bbbbbbbb");
    EXPECT_EQ(std::count(request.body.begin(), request.body.end(), '\n'), 3);
    EXPECT_EQ(request.body.back(), '\n');
    EXPECT_FALSE(requests[1].header("Tickets").has_value());

    // The verbose log masks tokens to their last 8 characters, tickets and response tokens.
    EXPECT_TRUE(loggedContaining(env_, RDDIHttpUtil::hideSecret(tokenA)));
    EXPECT_TRUE(loggedContaining(env_, R"(Tickets = {"t1":"p:***"})"));
    EXPECT_TRUE(loggedContaining(env_, R"("token" : "***")"));
    for (const std::string& leaked : {tokenA, tokenB, std::string("secret-ticket-value"), std::string("response-secret-token")}) {
        EXPECT_FALSE(loggedContaining(env_, leaked)) << leaked;
    }
}

TEST(IngestionMaskTest, MasksTokensTicketsAndResponseTokens) {
    using I = RDDIVudEzezevuvoIngestion;
    EXPECT_EQ(I::obfuscateTargetTokens("abcdefghijkl,1234"), "****efghijkl,****");
    EXPECT_EQ(I::obfuscateTargetTokens(""), "");
    EXPECT_EQ(I::obfuscateTickets(R"({"a":"p:xyz","b":"d:q:r","c":"plain"})"), R"({"a":"p:***","b":"d:***","c":"***"})");
    EXPECT_EQ(I::obfuscateTickets(R"(not json "k":"p:xyz")"), R"(not json "k":"p:***")");

    // What the server answers and the host's tickets are of any length: a megabyte is
    // masked as a byte is (a matcher recursing per character overflowed the stack).
    const std::string mega(1'000'000, 's');
    EXPECT_EQ(I::obfuscateTickets("p:" + mega), "p:***");
    const auto ingestion = I::create(RDDIHttpClient::create(), "http://127.0.0.1:9");
    const struct {
        std::string payload, masked;
    } responses[] = {
        {R"({"acc":1,"token" : "abc"})", R"({"acc":1,"token" : "***"})"},
        {"{\"Token\"\n:\t\"abc\", \"token\":\"\", \"x\":\"token\"}",
         "{\"token\" : \"***\", \"token\":\"\", \"x\":\"token\"}"},
        {R"({"token": "unterminated)", R"({"token": "unterminated)"},
        {R"({"token":")" + mega + R"("})", R"({"token" : "***"})"},
    };
    for (const auto& r : responses) EXPECT_EQ(ingestion->obfuscateResponsePayload(r.payload), r.masked) << r.payload.substr(0, 80);
}

}  // namespace
