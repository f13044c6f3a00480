#pragma once
// The real pipeline against the loopback server: a scratch XDG home (so a real
// "Logs.sqlite"), no channel-group factory, an injected HTTP client whose network
// watcher follows a switch of the test's, and the SDK's logs sent to the server.
#include "platform/dispatch/dispatch_queue.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_http_client.hpp"
#include "telemetry/pipeline/rddi_reachability.hpp"
#include "telemetry/support/http/loopback_server.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rddi::testkit {

// The "logs" arrays of the batches posted to the Dez Idedev endpoint, in arrival order.
inline std::vector<nlohmann::json> postedBatches(const LoopbackServer& server) {
    std::vector<nlohmann::json> batches;
    for (const auto& request : server.requests()) {
        if (request.path.starts_with("/logs") && request.json) batches.push_back((*request.json)["logs"]);
    }
    return batches;
}

class ScenarioEnvironment {
public:
    ScenarioEnvironment() {
        RDDIDependencyConfiguration::setChannelGroupFactory({});
        reachability_ = RDDI_Reachability::withStatusSource([online = online_]() -> std::optional<bool> {
            return online->load();
        });
        platform::network::URLSessionConfiguration configuration =
            platform::network::URLSessionConfiguration::defaultConfiguration();
        configuration.timeoutIntervalForRequest = 30;
        client_ = RDDIHttpClient::create(std::nullopt, reachability_, configuration);
        RDDIDependencyConfiguration::setHttpClient(client_);
        RDDIDependencyConfiguration::setVudEzezevuvoBaseUrl(server_.baseURL());
        RDDIDezIdedev::setLogUrl(server_.baseURL());
    }
    ~ScenarioEnvironment() {
        // A scenario that fails on a loaded machine seldom fails again at a desk: say where
        // every log was left.
        if (::testing::Test::HasFailure()) describeWhatIsLeft();
        RDDIDependencyConfiguration::setHttpClient(nullptr);
        RDDIDependencyConfiguration::setVudEzezevuvoBaseUrl(std::nullopt);
        server_.stop();
    }

    LoopbackServer& server() { return server_; }
    TelemetryTestEnvironment& telemetry() { return env_; }
    void setOnline(bool online) {
        online_->store(online);
        reachability_->statusMayHaveChanged();
    }

    // Waits on the server (pumping the main loop, where network notices arrive).
    bool waitForRequests(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(60)) {
        return platform::dispatch::MainLoop::runUntil([&] { return server_.requestCount() >= count; }, timeout);
    }
    bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(60)) {
        return platform::dispatch::MainLoop::runUntil(done, timeout);
    }

    static std::filesystem::path logsPath() { return RDDIUtility::dezIdedevDirectoryURL() / "Logs.sqlite"; }
    // Rows left in the store, of one group or (empty) of all.
    static long rowCount(const std::string& groupId = {}) {
        long count = -1;
        eachRow(groupId.empty() ? "SELECT COUNT(*) FROM logs" : "SELECT COUNT(*) FROM logs WHERE groupId = ?1",
                groupId, [&](sqlite3_stmt* row) { count = sqlite3_column_int64(row, 0); });
        return count;
    }

private:
    // Each row of `query` on the store, opened read only, with `bound` (when given) as ?1.
    static void eachRow(const char* query, const std::string& bound, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3* db = nullptr;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_open_v2(logsPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 10000);
            if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK) {
                if (!bound.empty()) sqlite3_bind_text(statement, 1, bound.c_str(), -1, SQLITE_TRANSIENT);
                while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
            }
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

    void describeWhatIsLeft() const {
        std::string text = "Rows left in the store by group:";
        eachRow("SELECT groupId, COUNT(*) FROM logs GROUP BY groupId", {}, [&](sqlite3_stmt* row) {
            const auto* group = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
            text += fmt::format(" {}={}", group ? group : "?", sqlite3_column_int64(row, 1));
        });
        // The last ones only: a soak's thousands would bury the rest.
        constexpr std::size_t kShown = 40;
        const auto requests = server_.requests();
        text += fmt::format("\nRequests the server received ({}):\n", requests.size());
        for (std::size_t i = requests.size() > kShown ? requests.size() - kShown : 0; i < requests.size(); ++i) {
            const auto& request = requests[i];
            std::map<std::string, int> types;
            if (request.json && request.json->contains("logs"))
                for (const auto& log : (*request.json)["logs"]) ++types[log.value("type", "?")];
            text += fmt::format("  {} {}", request.method, request.path);
            for (const auto& [type, count] : types) text += fmt::format(" {}x{}", count, type);
            if (types.empty()) text += fmt::format(" {} lines", request.jsonLines.size());
            text += "\n";
        }
        std::vector<std::string> warnings;
        for (const auto& log : env_.capturedLogs())
            if (log.level >= RDDILogLevelWarning) warnings.push_back(log.message);
        text += fmt::format("The SDK's warnings and errors ({}):\n", warnings.size());
        for (std::size_t i = warnings.size() > kShown ? warnings.size() - kShown : 0; i < warnings.size(); ++i)
            text += fmt::format("  {}\n", warnings[i]);
        std::fputs(text.c_str(), stderr);
    }

    TelemetryTestEnvironment env_;
    LoopbackServer server_;
    std::shared_ptr<std::atomic<bool>> online_ = std::make_shared<std::atomic<bool>>(true);
    std::shared_ptr<RDDI_Reachability> reachability_;
    std::shared_ptr<RDDIHttpClient> client_;
};

}  // namespace rddi::testkit
