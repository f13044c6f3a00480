#pragma once
// The current session id and, persisted under "SessionIdHistory", which session id was
// current from when, one record per launch; crash logs sent at the next launch look
// their session up by time.
#include "telemetry/core/rddi_history_info.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDISessionContext {
public:
    static std::shared_ptr<RDDISessionContext> sharedInstance();
    static void resetSharedInstance();

    RDDISessionContext();

    std::optional<std::string> sessionId() const;
    // Replaces this launch's record with the id at the present time and saves the history.
    void setSessionId(const std::optional<std::string>& sessionId);
    // The id of the newest record strictly earlier than the date; none if there is none.
    std::optional<std::string> sessionIdAt(platform::foundation::Date date) const;
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

    // Copies, oldest first.
    std::vector<RDDISessionHistoryInfo> sessionHistory() const;
    RDDISessionHistoryInfo currentSessionInfo() const;

private:
    void saveHistory();

    mutable std::recursive_mutex lock_;
    std::shared_ptr<RDDISessionHistoryInfo> currentSessionInfo_;
    std::vector<std::shared_ptr<RDDISessionHistoryInfo>> sessionHistory_;
};

}  // namespace rddi
