#include "telemetry/analytics/rddi_analytics_authentication_provider.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"

#include <cmath>

namespace rddi {

namespace pf = platform::foundation;

RDDIAnalyticsAuthenticationProvider::RDDIAnalyticsAuthenticationProvider(
    RDDIAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
    const std::shared_ptr<RDDIAnalyticsAuthenticationProviderDelegate>& delegate)
    : type_(type),
      ticketKey_(std::move(ticketKey)),
      ticketKeyHash_(ticketKey_ ? std::optional<std::string>(RDDIUtility::sha256(*ticketKey_)) : std::nullopt),
      delegate_(delegate) {}

std::optional<pf::Date> RDDIAnalyticsAuthenticationProvider::expiryDate() const {
    std::lock_guard lock(lock_);
    return expiryDate_;
}

bool RDDIAnalyticsAuthenticationProvider::hasPendingRequest() const {
    std::lock_guard lock(lock_);
    return pendingRequest_ != nullptr;
}

void RDDIAnalyticsAuthenticationProvider::acquireTokenAsync() {
    auto delegate = delegate_.lock();
    if (!delegate) {
        RDDILogError(kRDDIAnalyticsLogTag, "No completionhandler to acquire token has been set.");
        return;
    }
    auto request = std::make_shared<int>(0);
    {
        std::lock_guard lock(lock_);
        if (pendingRequest_) return;
        pendingRequest_ = request;
    }
    const std::weak_ptr<RDDIAnalyticsAuthenticationProvider> weak = weak_from_this();
    const std::shared_ptr<const void> tag = request;
    // Asked outside the lock: a delegate may answer at once, on this thread.
    delegate->authenticationProviderAcquireToken(
        *this, [weak, tag](const std::optional<std::string>& token, const std::optional<pf::Date>& expiryDate) {
            if (auto self = weak.lock()) self->handleTokenUpdate(token, expiryDate, tag);
        });
}

void RDDIAnalyticsAuthenticationProvider::handleTokenUpdate(const std::optional<std::string>& token,
                                                            const std::optional<pf::Date>& expiryDate,
                                                            const std::shared_ptr<const void>& request) {
    std::lock_guard lock(lock_);
    if (!pendingRequest_ || pendingRequest_ != request) return;
    pendingRequest_.reset();
    RDDILogDebug(kRDDIAnalyticsLogTag, "Got result back from RDAcquireTokenCompletionBlock.");
    if (!token) {
        RDDILogError(kRDDIAnalyticsLogTag, "Token must not be null");
        return;
    }
    if (!expiryDate) {
        RDDILogError(kRDDIAnalyticsLogTag, "Date must not be null");
        return;
    }
    const char* prefix = type_ == RDDIAnalyticsAuthenticationType::compact ? "p:" : "d:";
    if (ticketKeyHash_) RDDITicketCache::sharedInstance().setTicket(prefix + *token, *ticketKeyHash_);
    expiryDate_ = expiryDate;
}

void RDDIAnalyticsAuthenticationProvider::checkTokenExpiry() {
    bool refresh = false;
    {
        std::lock_guard lock(lock_);
        if (expiryDate_) {
            const double now = std::floor(pf::Date::now().timeIntervalSince1970());
            const double expiry = std::floor(expiryDate_->timeIntervalSince1970());
            refresh = now + kRefreshThreshold >= expiry;
        }
    }
    if (refresh) acquireTokenAsync();
}

void RDDIAnalyticsAuthenticationProvider::invalidate() {
    std::lock_guard lock(lock_);
    pendingRequest_.reset();
}

}  // namespace rddi
