#pragma once
// A small archivable log for store tests: a name and a payload.
#include "platform/foundation/keyed_archiver.hpp"
#include "telemetry/core/rddi_abstract_log.hpp"

#include <memory>
#include <string>

namespace rddi::testkit {

class StoredTestLog : public RDDIAbstractLog {
public:
    static constexpr const char* kArchiveName = "StoredTestLog";

    StoredTestLog(std::string name, std::string payload = {}) : name(std::move(name)), payload(std::move(payload)) {}
    explicit StoredTestLog(const platform::foundation::KeyedUnarchiver& unarchiver)
        : RDDIAbstractLog(unarchiver),
          name(unarchiver.decodeString("name").value_or("")),
          payload(unarchiver.decodeString("payload").value_or("")) {}

    static void registerArchiveClass() {
        platform::foundation::KeyedUnarchiver::registerClass<StoredTestLog>(kArchiveName);
    }

    std::string className() const override { return kArchiveName; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override {
        RDDIAbstractLog::encode(archiver);
        archiver.encodeString("name", name);
        archiver.encodeString("payload", payload);
    }

    std::string name;
    std::string payload;
};

inline std::string nameOf(const std::shared_ptr<RDDIAbstractLog>& log) {
    if (const auto* stored = dynamic_cast<const StoredTestLog*>(log.get())) return stored->name;
    return log ? log->className() : std::string("?");
}

}  // namespace rddi::testkit
