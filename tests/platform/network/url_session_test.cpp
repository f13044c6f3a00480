#include "platform/network/url_session.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

namespace {

namespace pf = platform::foundation;
namespace net = platform::network;

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void TearDown() override {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    pf::URL url(const std::string& path) const {
        return *pf::URL::fromString("http://127.0.0.1:" + std::to_string(port_) + path);
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

bool curlIsMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("/libcurl") != std::string::npos) return true;
    }
    return false;
}

// Sessions made at start-up (telemetry makes one) must not open libcurl until a request
// goes out. Run in a fresh process, so that no earlier test has opened it already.
TEST(URLSessionLoadingTest, OpensTheTransferLibraryOnlyForTheFirstRequest) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto fail = [](const char* why) {
                std::fprintf(stderr, "%s\n", why);
                std::_Exit(1);
            };
            if (curlIsMapped()) fail("mapped at start");
            {
                net::URLSession unused;
                auto ftp = unused.fetch(*pf::URL::fromString("ftp://127.0.0.1/x"));
                if (!ftp.error || ftp.error->code() != static_cast<int>(net::URLErrorCode::unsupportedURL)) {
                    fail("ftp was not refused");
                }
                unused.finishTasksAndInvalidate();
            }
            if (curlIsMapped()) fail("mapped without a request sent");
            auto refused = net::URLSession().fetch(*pf::URL::fromString("http://127.0.0.1:1/"));
            if (!refused.error || refused.error->code() != static_cast<int>(net::URLErrorCode::cannotConnectToHost)) {
                fail("a closed port was not a refused connection");
            }
            if (!curlIsMapped()) fail("not mapped after a request");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(URLSessionTest, ReturnsStatusHeadersAndBodyOfAnyAnswer) {
    server_.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Thing", "value");
        response.set_content(std::string("a\0b", 3), "application/octet-stream");
    });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/ok"); });

    auto ok = net::URLSession().fetch(url("/ok"));
    ASSERT_FALSE(ok.error.has_value());
    EXPECT_EQ(ok.response->statusCode, 200);
    EXPECT_TRUE(ok.response->isSuccess());
    EXPECT_EQ(ok.response->headers["x-thing"], "value");
    EXPECT_EQ(*ok.data, (pf::Data{'a', 0, 'b'}));

    auto missing = net::URLSession().fetch(url("/nothing"));
    ASSERT_FALSE(missing.error.has_value());
    EXPECT_EQ(missing.response->statusCode, 404);
    EXPECT_FALSE(missing.response->isSuccess());

    auto moved = net::URLSession().fetch(url("/moved"));
    EXPECT_EQ(moved.response->statusCode, 200);
    EXPECT_EQ(moved.response->url.path(), "/ok");
}

TEST_F(URLSessionTest, TransportFailuresAreErrorsNotResponses) {
    const std::string body(100000, 'x');
    server_.Get("/cut", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(body.size(), "text/plain", [&](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset > 0) return false;
            sink.write(body.data(), 1000);
            return true;
        });
    });
    auto cut = net::URLSession().fetch(url("/cut"));
    ASSERT_TRUE(cut.error.has_value());
    EXPECT_EQ(cut.error->domain(), net::kURLErrorDomain);
    EXPECT_EQ(cut.error->code(), static_cast<int>(net::URLErrorCode::networkConnectionLost));
    EXPECT_FALSE(cut.response.has_value());

    // TLS spoken to a plain HTTP server fails its handshake.
    auto tls = net::URLSession().fetch(*pf::URL::fromString("https://127.0.0.1:" + std::to_string(port_) + "/ok"));
    ASSERT_TRUE(tls.error.has_value());
    EXPECT_EQ(tls.error->code(), static_cast<int>(net::URLErrorCode::secureConnectionFailed));

    server_.stop();
    thread_.join();
    auto refused = net::URLSession().fetch(url("/ok"));
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_EQ(refused.error->code(), static_cast<int>(net::URLErrorCode::cannotConnectToHost));

    auto unsupported = net::URLSession().fetch(*pf::URL::fromString("ftp://127.0.0.1/x"));
    ASSERT_TRUE(unsupported.error.has_value());
    EXPECT_EQ(unsupported.error->code(), static_cast<int>(net::URLErrorCode::unsupportedURL));
}

TEST_F(URLSessionTest, SlowAnswersTimeOut) {
    server_.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        response.set_content("late", "text/plain");
    });
    net::URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 0.3;
    auto slow = net::URLSession(configuration).fetch(url("/slow"));
    ASSERT_TRUE(slow.error.has_value());
    EXPECT_EQ(slow.error->code(), static_cast<int>(net::URLErrorCode::timedOut));
}

TEST_F(URLSessionTest, DataTaskCompletesOffTheCallingThread) {
    server_.Get("/ok", [](const httplib::Request&, httplib::Response& response) { response.set_content("hi", "text/plain"); });
    std::promise<std::pair<net::DataTaskResult, std::thread::id>> done;
    net::URLSession().dataTask(url("/ok"), [&](const net::DataTaskResult& result) {
        done.set_value({result, std::this_thread::get_id()});
    });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto [result, thread] = future.get();
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(pf::stringFromData(*result.data), "hi");
}

}  // namespace

namespace {

namespace pf = platform::foundation;
namespace net = platform::network;

// Waits for a transfer's completion, with a generous deadline for loaded machines.
net::DataTaskResult await(std::future<net::DataTaskResult>& future) {
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the transfer never completed";
        return {};
    }
    return future.get();
}

std::future<net::DataTaskResult> start(const net::URLSession& session, const net::URLRequest& request) {
    auto done = std::make_shared<std::promise<net::DataTaskResult>>();
    session.dataTask(request, [done](const net::DataTaskResult& result) { done->set_value(result); });
    return done->get_future();
}

struct Seen {
    std::string method, body, custom, cacheControl, cookie, expect;
    int port = 0;
};

TEST_F(URLSessionTest, SendsAnyMethodWithItsHeadersAndBodyOverOneConnectionWithoutCookies) {
    std::mutex mutex;
    std::vector<Seen> seen;
    auto record = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        seen.push_back({request.method, request.body, request.get_header_value("X-Custom"),
                        request.get_header_value("Cache-Control"), request.get_header_value("Cookie"),
                        request.get_header_value("Expect"), request.remote_port});
        response.set_header("Set-Cookie", "session=1");
        response.set_content("done " + request.method, "text/plain");
    };
    server_.Post("/r", record);
    server_.Put("/r", record);
    server_.Patch("/r", record);
    server_.Delete("/r", record);
    server_.Get("/r", record);
    server_.set_keep_alive_max_count(100);  // the server's own default closes after 5

    net::URLSession session;
    const std::string big(5000, 'b');  // large enough for curl to ask for "100 Continue" by default
    struct Case {
        std::string method;
        std::optional<std::string> body;
        net::RequestCachePolicy policy;
    } cases[] = {
        {"POST", std::string("{\"a\":1}"), net::RequestCachePolicy::reloadIgnoringLocalCacheData},
        {"PUT", big, net::RequestCachePolicy::useProtocolCachePolicy},
        {"PATCH", std::string("p"), net::RequestCachePolicy::useProtocolCachePolicy},
        {"DELETE", std::nullopt, net::RequestCachePolicy::useProtocolCachePolicy},
        {"GET", std::nullopt, net::RequestCachePolicy::useProtocolCachePolicy},
        {"POST", std::nullopt, net::RequestCachePolicy::useProtocolCachePolicy},
    };
    for (const auto& c : cases) {
        net::URLRequest request(url("/r"));
        request.httpMethod = c.method;
        if (c.body) request.httpBody = pf::dataFromString(*c.body);
        request.setValue("one", "X-Custom");
        request.setValue("two", "x-custom");  // replaces, whatever the case
        request.cachePolicy = c.policy;
        auto future = start(session, request);
        auto result = await(future);
        ASSERT_FALSE(result.error.has_value()) << c.method << ": " << result.error->what();
        EXPECT_EQ(result.response->statusCode, 200) << c.method;
        EXPECT_EQ(pf::stringFromData(*result.data), "done " + c.method);
        EXPECT_EQ(result.response->valueForHeader("SET-COOKIE"), "session=1");
    }
    ASSERT_EQ(seen.size(), std::size(cases));
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(cases[i].method);
        EXPECT_EQ(seen[i].method, cases[i].method);
        EXPECT_EQ(seen[i].body, cases[i].body.value_or(""));
        EXPECT_EQ(seen[i].custom, "two");
        EXPECT_EQ(seen[i].cookie, "");
        EXPECT_EQ(seen[i].expect, "");
        EXPECT_EQ(seen[i].cacheControl,
                  cases[i].policy == net::RequestCachePolicy::reloadIgnoringLocalCacheData ? "no-cache" : "");
        // One session, one host, one after the other: the same connection every time.
        EXPECT_EQ(seen[i].port, seen[0].port);
    }
}

TEST_F(URLSessionTest, KeepsToThePerHostConnectionLimitAndCompletesOnTheDelegateQueue) {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0, most = 0, arrived = 0;
    server_.Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inside);
        ++arrived;
        changed.notify_all();
        // Held until a second request could have overlapped, were the limit not kept.
        changed.wait_for(lock, std::chrono::milliseconds(200));
        --inside;
        response.set_content("x", "text/plain");
    });
    platform::dispatch::DispatchQueue delegate("test.delegate");
    net::URLSessionConfiguration configuration;
    configuration.httpMaximumConnectionsPerHost = 1;
    configuration.delegateQueue = delegate;
    net::URLSession session(configuration);
    std::atomic<int> onDelegateQueue = 0;
    std::vector<std::future<net::DataTaskResult>> futures;
    for (int i = 0; i < 3; ++i) {
        auto done = std::make_shared<std::promise<net::DataTaskResult>>();
        futures.push_back(done->get_future());
        session.dataTask(url("/slow"), [done, delegate, &onDelegateQueue](const net::DataTaskResult& result) {
            if (delegate.isCurrent()) ++onDelegateQueue;
            done->set_value(result);
        });
    }
    for (auto& future : futures) {
        auto result = await(future);
        EXPECT_FALSE(result.error.has_value());
    }
    EXPECT_EQ(arrived, 3);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(onDelegateQueue, 3);
}

TEST_F(URLSessionTest, CutsLongBodiesAndRefusesUnsafeRequests) {
    server_.Get("/huge", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(net::kMaximumResponseBodySize + 500000, 'h'), "text/plain");
    });
    server_.Get("/after", [](const httplib::Request&, httplib::Response& response) { response.set_content("ok", "text/plain"); });
    net::URLSession session;
    auto huge = start(session, net::URLRequest(url("/huge")));
    auto result = await(huge);
    ASSERT_FALSE(result.error.has_value());
    EXPECT_EQ(result.data->size(), net::kMaximumResponseBodySize);
    auto after = start(session, net::URLRequest(url("/after")));
    EXPECT_EQ(pf::stringFromData(*await(after).data), "ok");

    for (auto [name, value] : {std::pair<std::string, std::string>{"X-Token", "a\r\nInjected: yes"},
                               {"X-Token", std::string("a\0b", 3)},
                               {"X-Bad\nName", "v"}}) {
        net::URLRequest request(url("/after"));
        request.allHTTPHeaderFields.emplace_back(name, value);
        auto refused = start(session, request);
        auto outcome = await(refused);
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->code(), static_cast<int>(net::URLErrorCode::badURL));
    }
}

TEST_F(URLSessionTest, CancellingEndsTransfersWithTheCancelledError) {
    std::atomic<bool> release = false;
    server_.Get("/hang", [&](const httplib::Request&, httplib::Response& response) {
        for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        response.set_content("late", "text/plain");
    });
    const auto cancelled = static_cast<int>(net::URLErrorCode::cancelled);
    net::URLSession session;

    auto done = std::make_shared<std::promise<net::DataTaskResult>>();
    auto future = done->get_future();
    auto task = session.dataTask(url("/hang"), [done](const net::DataTaskResult& r) { done->set_value(r); });
    task->cancel();
    auto one = await(future);
    ASSERT_TRUE(one.error.has_value());
    EXPECT_EQ(one.error->code(), cancelled);

    auto first = start(session, net::URLRequest(url("/hang")));
    auto second = start(session, net::URLRequest(url("/hang")));
    session.invalidateAndCancel();
    for (auto* f : {&first, &second}) {
        auto result = await(*f);
        ASSERT_TRUE(result.error.has_value());
        EXPECT_EQ(result.error->code(), cancelled);
    }
    auto late = start(session, net::URLRequest(url("/hang")));
    auto refused = await(late);
    ASSERT_TRUE(refused.error.has_value());
    EXPECT_EQ(refused.error->code(), cancelled);
    release = true;
}

TEST_F(URLSessionTest, ARequestTimeoutOfZeroMeansTheSessions) {
    std::atomic<bool> release = false;
    server_.Get("/silent", [&](const httplib::Request&, httplib::Response& response) {
        for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        response.set_content("late", "text/plain");
    });
    net::URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 0.3;
    net::URLSession session(configuration);
    net::URLRequest request(url("/silent"));
    request.timeoutInterval = 0;
    auto silent = start(session, request);
    auto result = await(silent);
    ASSERT_TRUE(result.error.has_value());
    EXPECT_EQ(result.error->code(), static_cast<int>(net::URLErrorCode::timedOut));

    // Its own timeout wins over the session's.
    request.timeoutInterval = 0.2;
    configuration.timeoutIntervalForRequest = 600;
    auto own = start(net::URLSession(configuration), request);
    auto ownResult = await(own);
    ASSERT_TRUE(ownResult.error.has_value());
    EXPECT_EQ(ownResult.error->code(), static_cast<int>(net::URLErrorCode::timedOut));
    release = true;
}

}  // namespace
