#pragma once
// The process-wide store of authentication tickets, from ticket key to ticket. The
// transmission targets' authentication providers write it on their own threads while
// requests read it, so every access is locked.
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

class RDDITicketCache {
public:
    static RDDITicketCache& sharedInstance();
    // Empties the shared cache (tests, and a fresh start).
    static void resetSharedInstance() { sharedInstance().clearCache(); }

    std::optional<std::string> ticketFor(const std::string& key) const;
    // Stores or replaces the ticket. A ticket holding CR, LF or NUL would break out of
    // the "Tickets" header: it is refused (logged) and the key keeps its old ticket.
    void setTicket(const std::string& ticket, const std::string& key);
    void clearCache();
    std::map<std::string, std::string> tickets() const;

private:
    RDDITicketCache() = default;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> tickets_;
};

}  // namespace rddi
