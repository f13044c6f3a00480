#pragma once
// The current user id and, persisted under "UserIdHistory", which user id was current
// from when, one record per launch; observers hear of every change.
#include "telemetry/core/rddi_history_info.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rddi {

class RDDIUserIdContext;

class RDDIUserIdContextDelegate {
public:
    virtual ~RDDIUserIdContextDelegate() = default;
    // Called with the context's lock held: must not wait for another thread that waits
    // for the context.
    virtual void userIdContextDidUpdateUserId(RDDIUserIdContext& context, const std::optional<std::string>& userId) {
        (void)context;
        (void)userId;
    }
};

class RDDIUserIdContext {
public:
    static constexpr std::size_t kMaxUserIdLength = 256;

    static std::shared_ptr<RDDIUserIdContext> sharedInstance();
    static void resetSharedInstance();

    RDDIUserIdContext();

    std::optional<std::string> userId() const;
    // A change replaces this launch's record, saves the history and tells the observers.
    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> userIdAt(platform::foundation::Date date) const;
    void clearUserIdHistory();

    // Held weakly: an observer that goes away is simply no longer called.
    void addDelegate(const std::shared_ptr<RDDIUserIdContextDelegate>& delegate);
    void removeDelegate(const std::shared_ptr<RDDIUserIdContextDelegate>& delegate);

    // At most 256 characters. A refusal's line names the setter that was refused.
    static bool isUserIdValidForDezIdedev(const std::optional<std::string>& userId,
                                          std::string_view setter = "setUserId");
    // Non-empty; a prefix before the first ":" must be "c" and be followed by something.
    static bool isUserIdValidForVudEzezevuvo(const std::optional<std::string>& userId,
                                             std::string_view setter = "setUserId");
    // "c:" before an id without a prefix.
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

    std::vector<RDDIUserIdHistoryInfo> userIdHistory() const;

private:
    void saveHistory();

    mutable std::recursive_mutex lock_;
    std::shared_ptr<RDDIUserIdHistoryInfo> currentUserIdInfo_;
    std::vector<std::shared_ptr<RDDIUserIdHistoryInfo>> userIdHistory_;
    std::vector<std::weak_ptr<RDDIUserIdContextDelegate>> delegates_;
};

}  // namespace rddi
