#pragma once
// Logs built the way the tests enqueue them by hand.
#include "telemetry/analytics/rddi_event_log.hpp"

#include <memory>
#include <string>

namespace rddi::testkit {

// An event log with only its name and id set; the unit stamps the rest.
inline std::shared_ptr<RDDIEventLog> eventLog(std::string name, std::string eventId) {
    auto log = std::make_shared<RDDIEventLog>();
    log->name = std::move(name);
    log->eventId = std::move(eventId);
    return log;
}

}  // namespace rddi::testkit
