#pragma once
// Fetches a ticket for the transmission targets' logs from the host: the host's delegate
// is asked for a token, the answer becomes "p:<token>" or "d:<token>" in the ticket
// cache under the hash of the ticket key, and a token about to expire is asked for again.
#include "platform/foundation/date.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

// The two kinds of ticket a host can hand over: a compact ticket is sent as "p:<token>", a
// delegated one as "d:<token>".
enum class RDDIAnalyticsAuthenticationType : int { compact = 0, delegate = 1 };

class RDDIAnalyticsAuthenticationProvider;

// Answers a token request: the token and its expiry date (either may be missing).
using RDDIAnalyticsAuthenticationProviderCompletionBlock =
    std::function<void(const std::optional<std::string>& token,
                       const std::optional<platform::foundation::Date>& expiryDate)>;

class RDDIAnalyticsAuthenticationProviderDelegate {
public:
    virtual ~RDDIAnalyticsAuthenticationProviderDelegate() = default;
    // May answer at once or later, on any thread.
    virtual void authenticationProviderAcquireToken(RDDIAnalyticsAuthenticationProvider& provider,
                                                    RDDIAnalyticsAuthenticationProviderCompletionBlock completion) = 0;
};

class RDDIAnalyticsAuthenticationProvider final
    : public std::enable_shared_from_this<RDDIAnalyticsAuthenticationProvider> {
public:
    // A token whose expiry lies this close is asked for again.
    static constexpr double kRefreshThreshold = 600;

    // The delegate is held weakly.
    RDDIAnalyticsAuthenticationProvider(RDDIAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
                                        const std::shared_ptr<RDDIAnalyticsAuthenticationProviderDelegate>& delegate);

    RDDIAnalyticsAuthenticationType type() const { return type_; }
    const std::optional<std::string>& ticketKey() const { return ticketKey_; }
    // SHA-256 of the ticket key; none without a key.
    const std::optional<std::string>& ticketKeyHash() const { return ticketKeyHash_; }
    std::optional<platform::foundation::Date> expiryDate() const;
    bool hasPendingRequest() const;

    // Asks the delegate, unless a request is already pending.
    void acquireTokenAsync();
    // Asks again when the token expires within the refresh threshold.
    void checkTokenExpiry();
    // The provider was replaced: an answer to its pending request no longer counts.
    void invalidate();

private:
    void handleTokenUpdate(const std::optional<std::string>& token,
                           const std::optional<platform::foundation::Date>& expiryDate,
                           const std::shared_ptr<const void>& request);

    const RDDIAnalyticsAuthenticationType type_;
    const std::optional<std::string> ticketKey_;
    const std::optional<std::string> ticketKeyHash_;
    const std::weak_ptr<RDDIAnalyticsAuthenticationProviderDelegate> delegate_;
    mutable std::recursive_mutex lock_;
    std::optional<platform::foundation::Date> expiryDate_;
    // Identifies the pending request; none when idle.
    std::shared_ptr<const void> pendingRequest_;
};

}  // namespace rddi
