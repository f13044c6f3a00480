#include "telemetry/pipeline/rddi_ticket_cache.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

namespace rddi {

RDDITicketCache& RDDITicketCache::sharedInstance() {
    static RDDITicketCache* const instance = new RDDITicketCache();  // lives as long as the process
    return *instance;
}

std::optional<std::string> RDDITicketCache::ticketFor(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = tickets_.find(key);
    if (found == tickets_.end()) return std::nullopt;
    return found->second;
}

void RDDITicketCache::setTicket(const std::string& ticket, const std::string& key) {
    if (!RDDIIsHeaderSafe(ticket) || !RDDIIsHeaderSafe(key)) {
        RDDILogError(kRDDILogTag, "A ticket holding a line break or NUL character is ignored.");
        return;
    }
    std::lock_guard lock(mutex_);
    tickets_[key] = ticket;
}

void RDDITicketCache::clearCache() {
    std::lock_guard lock(mutex_);
    tickets_.clear();
}

std::map<std::string, std::string> RDDITicketCache::tickets() const {
    std::lock_guard lock(mutex_);
    return tickets_;
}

}  // namespace rddi
