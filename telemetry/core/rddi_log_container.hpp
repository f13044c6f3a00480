#pragma once
// A batch of logs as it is sent to the ingestion: {"logs": [...]}. The batch id names the
// batch for the log store and the ingestion; it is not part of the JSON.
#include "telemetry/core/rddi_abstract_log.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDILogContainer {
public:
    RDDILogContainer() = default;
    RDDILogContainer(std::optional<std::string> batchId, std::vector<std::shared_ptr<RDDIAbstractLog>> logs)
        : batchId(std::move(batchId)), logs(std::move(logs)) {}

    std::optional<std::string> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
    // The logs' dictionaries in order, "/" unescaped and text that is not UTF-8 written
    // with U+FFFD. A log that still has no JSON form: logged, and none.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // Not empty, and every log valid.
    bool isValid() const;

    std::optional<std::string> batchId;
    std::vector<std::shared_ptr<RDDIAbstractLog>> logs;
};

}  // namespace rddi
