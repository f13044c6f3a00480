#include "telemetry/support/http/loopback_server.hpp"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <set>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

namespace rddi::testkit {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

void parseBody(RecordedRequest& request) {
    if (request.body.empty()) return;
    auto whole = nlohmann::json::parse(request.body, nullptr, false);
    if (!whole.is_discarded()) {
        request.json = std::move(whole);
        // One value on one line is also a one-line stream.
    }
    std::istringstream lines(request.body);
    std::string line;
    std::vector<nlohmann::json> parsed;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_discarded()) return;
        parsed.push_back(std::move(value));
    }
    request.jsonLines = std::move(parsed);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    auto found = headers.find(lowercased(name));
    if (found == headers.end()) return std::nullopt;
    return found->second;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const { return headers.count(lowercased(name)); }

std::optional<std::string> RecordedRequest::queryValue(const std::string& name) const {
    auto found = query.find(name);
    if (found == query.end()) return std::nullopt;
    return found->second;
}

struct LoopbackServer::State {
    httplib::Server server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::deque<ScriptedAnswer> script;
    ScriptedAnswer fallback;
    LoopbackServer::Responder responder;
    std::set<std::string> openGates;
    std::size_t held = 0;
    std::size_t inFlight = 0;
    std::vector<RecordedRequest> requests;
    bool stopping = false;

    void handle(const httplib::Request& request, httplib::Response& response) {
        {
            std::lock_guard lock(mutex);
            ++inFlight;
        }
        struct Answered {
            State* state;
            ~Answered() {
                std::lock_guard lock(state->mutex);
                --state->inFlight;
            }
        } answered{this};
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        recorded.query.insert(request.params.begin(), request.params.end());
        for (const auto& [name, value] : request.headers) recorded.headers.emplace(lowercased(name), value);
        // The server library has already undone a gzip Content-Encoding.
        recorded.body = request.body;
        parseBody(recorded);
        recorded.receivedAt = std::chrono::steady_clock::now();

        ScriptedAnswer answer;
        LoopbackServer::Responder ask;
        {
            std::lock_guard lock(mutex);
            ask = responder;
        }
        // Outside the lock: a responder may read the server's record.
        std::optional<ScriptedAnswer> chosen = ask ? ask(recorded) : std::nullopt;
        {
            std::unique_lock lock(mutex);
            requests.push_back(std::move(recorded));
            if (chosen) {
                answer = std::move(*chosen);
            } else if (!script.empty()) {
                answer = std::move(script.front());
                script.pop_front();
            } else {
                answer = fallback;
            }
            changed.notify_all();
            if (answer.gate) {
                ++held;
                changed.notify_all();
                changed.wait(lock, [&] { return stopping || openGates.contains(*answer.gate); });
                --held;
            }
            if (answer.neverAnswer) {
                changed.wait(lock, [&] { return stopping; });
            } else if (answer.delay.count() > 0) {
                changed.wait_for(lock, answer.delay, [&] { return stopping; });
            }
        }
        response.status = answer.status;
        for (const auto& [name, value] : answer.headers) response.set_header(name, value);
        if (answer.closeMidBody) {
            auto body = std::make_shared<std::string>(answer.body.size() < 2 ? std::string(2048, 'x') : answer.body);
            response.set_content_provider(body->size(), answer.contentType,
                                          [body](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0) return false;  // closes the connection
                                              sink.write(body->data(), body->size() / 2);
                                              return true;
                                          });
        } else if (!answer.body.empty()) {
            response.set_content(answer.body, answer.contentType);
        }
    }
};

LoopbackServer::LoopbackServer() : state_(std::make_shared<State>()) {
    auto* state = state_.get();
    auto handler = [state](const httplib::Request& request, httplib::Response& response) { state->handle(request, response); };
    for (auto route : {&httplib::Server::Get, &httplib::Server::Post, &httplib::Server::Put, &httplib::Server::Patch,
                       &httplib::Server::Delete, &httplib::Server::Options}) {
        (state->server.*route)(".*", handler);
    }
    state->server.set_keep_alive_max_count(1000);
    // Stopping waits for idle kept-alive connections to time out.
    state->server.set_keep_alive_timeout(1);
    // Headers and body leave in separate writes; without this each answer waits for a delayed ACK.
    state->server.set_tcp_nodelay(true);
    state->port = state->server.bind_to_any_port("127.0.0.1");
    if (state->port <= 0) throw std::runtime_error("the loopback server could not bind");
    state->thread = std::thread([state] { state->server.listen_after_bind(); });
    // The library has no readiness notice; connections made before listen() starts
    // would wait in the backlog anyway, so this only shortens the first request.
    for (int i = 0; i < 2000 && !state->server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->changed.notify_all();
    }
    state_->server.stop();
    if (state_->thread.joinable()) state_->thread.join();
}

int LoopbackServer::port() const { return state_->port; }

std::string LoopbackServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

void LoopbackServer::script(std::vector<ScriptedAnswer> answers) {
    std::lock_guard lock(state_->mutex);
    for (auto& answer : answers) state_->script.push_back(std::move(answer));
}

void LoopbackServer::setFallback(ScriptedAnswer answer) {
    std::lock_guard lock(state_->mutex);
    state_->fallback = std::move(answer);
}

void LoopbackServer::setResponder(Responder responder) {
    std::lock_guard lock(state_->mutex);
    state_->responder = std::move(responder);
}

void LoopbackServer::openGate(const std::string& gate) {
    std::lock_guard lock(state_->mutex);
    state_->openGates.insert(gate);
    state_->changed.notify_all();
}

std::size_t LoopbackServer::heldCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->held;
}

std::size_t LoopbackServer::inFlightCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->inFlight;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t LoopbackServer::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->requests.size() >= count; });
}

}  // namespace rddi::testkit
