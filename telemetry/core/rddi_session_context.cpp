#include "telemetry/core/rddi_session_context.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_logger.hpp"

namespace rddi {

namespace pf = platform::foundation;

namespace {
constexpr const char* kSessionIdHistoryKey = "SessionIdHistory";
std::mutex gSharedLock;
std::shared_ptr<RDDISessionContext> gShared;
}  // namespace

std::shared_ptr<RDDISessionContext> RDDISessionContext::sharedInstance() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) gShared = std::make_shared<RDDISessionContext>();
    return gShared;
}

void RDDISessionContext::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

RDDISessionContext::RDDISessionContext() {
    sessionHistory_ = RDDILoadHistory<RDDISessionHistoryInfo>(kSessionIdHistoryKey);
    RDDILogDebug(kRDDILogTag, "{} session(s) in the history.", sessionHistory_.size());
    currentSessionInfo_ = std::make_shared<RDDISessionHistoryInfo>(pf::Date::now(), std::nullopt);
    sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> RDDISessionContext::sessionId() const {
    // A string is not read in one word: the getter takes the lock the setter holds.
    std::lock_guard lock(lock_);
    return currentSessionInfo_->sessionId;
}

void RDDISessionContext::setSessionId(const std::optional<std::string>& sessionId) {
    // Every later log of the session carries its id.
    if (!RDDIAcceptKeptText("setSessionId", "the session id", sessionId)) return;
    std::lock_guard lock(lock_);
    if (!sessionHistory_.empty()) sessionHistory_.pop_back();
    currentSessionInfo_->sessionId = sessionId;
    currentSessionInfo_->timestamp = pf::Date::now();
    sessionHistory_.push_back(currentSessionInfo_);
    saveHistory();
    RDDILogVerbose(kRDDILogTag, "Stored new session with id:{} and timestamp: {}.", sessionId.value_or("(null)"),
                   currentSessionInfo_->timestamp->iso8601());
}

std::optional<std::string> RDDISessionContext::sessionIdAt(pf::Date date) const {
    std::lock_guard lock(lock_);
    for (auto it = sessionHistory_.rbegin(); it != sessionHistory_.rend(); ++it) {
        if ((*it)->timestamp && *(*it)->timestamp < date) return (*it)->sessionId;
    }
    return std::nullopt;
}

void RDDISessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
    std::lock_guard lock(lock_);
    sessionHistory_.clear();
    if (keepCurrentSession) sessionHistory_.push_back(currentSessionInfo_);
    saveHistory();
    RDDILogVerbose(kRDDILogTag, "Cleared old sessions.");
}

std::vector<RDDISessionHistoryInfo> RDDISessionContext::sessionHistory() const {
    std::lock_guard lock(lock_);
    std::vector<RDDISessionHistoryInfo> copies;
    for (const auto& record : sessionHistory_) copies.push_back(*record);
    return copies;
}

RDDISessionHistoryInfo RDDISessionContext::currentSessionInfo() const {
    std::lock_guard lock(lock_);
    return *currentSessionInfo_;
}

void RDDISessionContext::saveHistory() { RDDISaveHistory(kSessionIdHistoryKey, sessionHistory_); }

}  // namespace rddi
