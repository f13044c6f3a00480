#pragma once
// An HTTP server on 127.0.0.1 (port chosen by the system) started inside the test
// process. It records every request and answers from the test's script, in order;
// once the script is used up it answers with the fallback (200, empty JSON object).
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rddi::testkit {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> query;
    // Names in lower case.
    std::multimap<std::string, std::string> headers;
    // After undoing the Content-Encoding (the server gunzips a gzip body).
    std::string body;
    // The body parsed as one JSON value, when it is one.
    std::optional<nlohmann::json> json;
    // The body parsed as JSON lines, when every non-empty line is a JSON value.
    std::vector<nlohmann::json> jsonLines;
    std::chrono::steady_clock::time_point receivedAt;

    std::optional<std::string> header(std::string_view name) const;
    std::size_t headerCount(std::string_view name) const;
    std::optional<std::string> queryValue(const std::string& name) const;
};

struct ScriptedAnswer {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body = "{}";
    std::string contentType = "application/json";
    // Waited before answering (cut short when the server stops).
    std::chrono::milliseconds delay{0};
    // Announces the whole body, sends its first half and closes the connection.
    bool closeMidBody = false;
    // Holds the request until the server stops.
    bool neverAnswer = false;
    // Holds the request until the test opens the gate of that name (or the server stops).
    std::optional<std::string> gate;
};

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const;
    // "http://127.0.0.1:<port>"
    std::string baseURL() const;

    // Appends answers to the script.
    void script(std::vector<ScriptedAnswer> answers);
    void answer(ScriptedAnswer answer) { script({std::move(answer)}); }
    void setFallback(ScriptedAnswer answer);
    // Asked first for every request (on the server's threads); no answer means the script's.
    using Responder = std::function<std::optional<ScriptedAnswer>(const RecordedRequest&)>;
    void setResponder(Responder responder);
    // Lets the requests held at that gate, and later ones, be answered.
    void openGate(const std::string& gate);
    // Requests waiting at a gate now.
    std::size_t heldCount() const;
    // Requests received and not yet answered.
    std::size_t inFlightCount() const;

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Waits (real time, generous deadline) until at least `count` requests arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    // Releases held requests and stops listening; the destructor does it too.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace rddi::testkit
