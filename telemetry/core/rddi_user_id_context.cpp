#include "telemetry/core/rddi_user_id_context.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>

namespace rddi {

namespace pf = platform::foundation;

namespace {
constexpr const char* kUserIdHistoryKey = "UserIdHistory";
constexpr const char* kCustomerPrefix = "c";
std::mutex gSharedLock;
std::shared_ptr<RDDIUserIdContext> gShared;
}  // namespace

std::shared_ptr<RDDIUserIdContext> RDDIUserIdContext::sharedInstance() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) gShared = std::make_shared<RDDIUserIdContext>();
    return gShared;
}

void RDDIUserIdContext::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

RDDIUserIdContext::RDDIUserIdContext() {
    userIdHistory_ = RDDILoadHistory<RDDIUserIdHistoryInfo>(kUserIdHistoryKey);
    RDDILogDebug(kRDDILogTag, "{} userId(s) in the history.", userIdHistory_.size());
    currentUserIdInfo_ = std::make_shared<RDDIUserIdHistoryInfo>(pf::Date::now(), std::nullopt);
    userIdHistory_.push_back(currentUserIdInfo_);
    saveHistory();
}

std::optional<std::string> RDDIUserIdContext::userId() const {
    std::lock_guard lock(lock_);
    return currentUserIdInfo_->userId;
}

void RDDIUserIdContext::setUserId(const std::optional<std::string>& userId) {
    // Every later log carries the current user id: one longer than any target takes
    // would make each of them too large to store.
    if (!RDDIAcceptKeptText("setUserId", "the user id", userId, kMaxUserIdLength)) return;
    std::lock_guard lock(lock_);
    if (userId == currentUserIdInfo_->userId) return;
    currentUserIdInfo_->timestamp = pf::Date::now();
    currentUserIdInfo_->userId = userId;
    if (!userIdHistory_.empty()) userIdHistory_.pop_back();
    userIdHistory_.push_back(currentUserIdInfo_);
    saveHistory();
    RDDILogVerbose(kRDDILogTag, "Stored new userId:{} and timestamp: {}.", userId.value_or("(null)"),
                   currentUserIdInfo_->timestamp->iso8601());
    // Observers that went away are dropped on the way.
    std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
    const auto observers = delegates_;
    for (const auto& weak : observers) {
        if (auto delegate = weak.lock()) delegate->userIdContextDidUpdateUserId(*this, userId);
    }
}

std::optional<std::string> RDDIUserIdContext::userIdAt(pf::Date date) const {
    std::lock_guard lock(lock_);
    for (auto it = userIdHistory_.rbegin(); it != userIdHistory_.rend(); ++it) {
        if ((*it)->timestamp && *(*it)->timestamp < date) return (*it)->userId;
    }
    return std::nullopt;
}

void RDDIUserIdContext::clearUserIdHistory() {
    std::lock_guard lock(lock_);
    userIdHistory_.clear();
    userIdHistory_.push_back(currentUserIdInfo_);
    saveHistory();
    RDDILogVerbose(kRDDILogTag, "Cleared old userIds while keeping current userId.");
}

void RDDIUserIdContext::addDelegate(const std::shared_ptr<RDDIUserIdContextDelegate>& delegate) {
    if (!delegate) return;
    std::lock_guard lock(lock_);
    removeDelegate(delegate);
    delegates_.push_back(delegate);
}

void RDDIUserIdContext::removeDelegate(const std::shared_ptr<RDDIUserIdContextDelegate>& delegate) {
    std::lock_guard lock(lock_);
    std::erase_if(delegates_, [&](const auto& weak) {
        auto strong = weak.lock();
        return !strong || strong == delegate;
    });
}

bool RDDIUserIdContext::isUserIdValidForDezIdedev(const std::optional<std::string>& userId, std::string_view setter) {
    if (!userId) return true;
    if (RDDIExceedsUTF16Length(*userId, kMaxUserIdLength)) {
        RDDILogError(kRDDILogTag, "{}: userId is limited to {} characters.", setter, kMaxUserIdLength);
        return false;
    }
    return true;
}

bool RDDIUserIdContext::isUserIdValidForVudEzezevuvo(const std::optional<std::string>& userId,
                                                     std::string_view setter) {
    if (!userId) return true;
    if (userId->empty()) {
        RDDILogError(kRDDILogTag, "{}: userId must not be empty.", setter);
        return false;
    }
    const auto colon = userId->find(':');
    if (colon == std::string::npos) return true;
    const std::string prefix = userId->substr(0, colon);
    if (prefix == kCustomerPrefix) {
        if (colon + 1 == userId->size()) {
            RDDILogError(kRDDILogTag, "{}: userId must not be empty.", setter);
            return false;
        }
        return true;
    }
    RDDILogError(kRDDILogTag, "{}: userId prefix must be '{}', '{}' is not supported.", setter, kCustomerPrefix,
                 RDDIQuoted(prefix));
    return false;
}

std::optional<std::string> RDDIUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string>& userId) {
    if (!userId) return std::nullopt;
    if (userId->find(':') != std::string::npos) return userId;
    return std::string(kCustomerPrefix) + ":" + *userId;
}

std::vector<RDDIUserIdHistoryInfo> RDDIUserIdContext::userIdHistory() const {
    std::lock_guard lock(lock_);
    std::vector<RDDIUserIdHistoryInfo> copies;
    for (const auto& record : userIdHistory_) copies.push_back(*record);
    return copies;
}

void RDDIUserIdContext::saveHistory() { RDDISaveHistory(kUserIdHistoryKey, userIdHistory_); }

}  // namespace rddi
