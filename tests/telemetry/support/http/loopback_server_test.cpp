#include "telemetry/support/http/loopback_server.hpp"

#include "platform/network/url_session.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <future>

namespace {

namespace net = platform::network;
namespace pf = platform::foundation;
using rddi::testkit::LoopbackServer;
using rddi::testkit::ScriptedAnswer;

pf::Data gzip(const std::string& text) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    pf::Data out(deflateBound(&stream, text.size()) + 32);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

net::DataTaskResult send(const net::URLSession& session, const net::URLRequest& request) {
    std::promise<net::DataTaskResult> done;
    auto future = done.get_future();
    session.dataTask(request, [&done](const net::DataTaskResult& result) { done.set_value(result); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        std::abort();  // the completion would use `done` after this frame
    }
    return future.get();
}

TEST(LoopbackServerTest, RecordsRequestsWithDecodedAndParsedBodies) {
    LoopbackServer server;
    net::URLSession session;
    net::URLRequest json(*pf::URL::fromString(server.baseURL() + "/logs?api-version=1.0.0&x=a%20b"));
    json.httpMethod = "POST";
    json.setValue("application/json", "Content-Type");
    json.setValue("secret", "App-Secret");
    json.setValue("gzip", "Content-Encoding");
    json.httpBody = gzip(R"({"logs":[{"type":"event"}]})");
    EXPECT_EQ(send(session, json).response->statusCode, 200);

    net::URLRequest lines(*pf::URL::fromString(server.baseURL() + "/stream"));
    lines.httpMethod = "PUT";
    lines.httpBody = pf::dataFromString("{\"a\":1}\n{\"b\":2}\n");
    send(session, lines);

    net::URLRequest text(*pf::URL::fromString(server.baseURL() + "/text"));
    text.httpMethod = "POST";
    text.httpBody = pf::dataFromString("not json");
    send(session, text);

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/logs");
    EXPECT_EQ(seen[0].queryValue("api-version"), "1.0.0");
    EXPECT_EQ(seen[0].queryValue("x"), "a b");
    EXPECT_EQ(seen[0].header("APP-SECRET"), "secret");
    EXPECT_EQ(seen[0].header("content-encoding"), "gzip");
    EXPECT_EQ(seen[0].headerCount("app-secret"), 1u);
    EXPECT_EQ(seen[0].body, R"({"logs":[{"type":"event"}]})");
    ASSERT_TRUE(seen[0].json.has_value());
    EXPECT_EQ((*seen[0].json)["logs"][0]["type"], "event");

    EXPECT_EQ(seen[1].method, "PUT");
    EXPECT_FALSE(seen[1].json.has_value());
    ASSERT_EQ(seen[1].jsonLines.size(), 2u);
    EXPECT_EQ(seen[1].jsonLines[1]["b"], 2);

    EXPECT_FALSE(seen[2].json.has_value());
    EXPECT_TRUE(seen[2].jsonLines.empty());
    EXPECT_EQ(seen[2].body, "not json");
}

TEST(LoopbackServerTest, AnswersFromTheScriptThenTheFallback) {
    LoopbackServer server;
    server.script({
        {.status = 429, .headers = {{"x-rd-retry-after-ms", "2000"}}},
        {.status = 200, .body = "{\"late\":true}", .delay = std::chrono::milliseconds(50)},
        {.closeMidBody = true},
        {.neverAnswer = true},
    });
    server.setFallback({.status = 503, .body = ""});
    net::URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 0.5;
    net::URLSession session(configuration);
    const net::URLRequest request(*pf::URL::fromString(server.baseURL() + "/x"));

    auto first = send(session, request);
    ASSERT_TRUE(first.response.has_value());
    EXPECT_EQ(first.response->statusCode, 429);
    EXPECT_EQ(first.response->valueForHeader("x-rd-retry-after-ms"), "2000");

    auto second = send(session, request);
    EXPECT_EQ(pf::stringFromData(*second.data), "{\"late\":true}");
    EXPECT_EQ(second.response->valueForHeader("content-type"), "application/json");

    auto cut = send(session, request);
    ASSERT_TRUE(cut.error.has_value());
    EXPECT_EQ(cut.error->code(), static_cast<int>(net::URLErrorCode::networkConnectionLost));

    auto silent = send(session, request);
    ASSERT_TRUE(silent.error.has_value());
    EXPECT_EQ(silent.error->code(), static_cast<int>(net::URLErrorCode::timedOut));

    auto fallback = send(session, request);
    EXPECT_EQ(fallback.response->statusCode, 503);
    EXPECT_TRUE(fallback.data->empty());
    EXPECT_TRUE(server.waitForRequests(5));
    server.stop();  // releases nothing left, returns at once
}

}  // namespace
