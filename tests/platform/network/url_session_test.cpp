#include "platform/network/url_session.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
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
