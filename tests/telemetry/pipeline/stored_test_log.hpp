#pragma once
// A small archivable log for store tests: a name, a payload, and whether it poses as a
// Common Schema log (whose target tokens the store keeps encrypted).
#include "platform/foundation/keyed_archiver.hpp"
#include "telemetry/core/rddi_abstract_log.hpp"

#include <memory>
#include <string>
#include <type_traits>

namespace rddi::testkit {

// Logs are archivable in their own right once the log model says so; until then the
// test log adds the interface itself.
template <class Base, bool = std::is_base_of_v<platform::foundation::Archivable, Base>>
struct ArchivableLog : Base, platform::foundation::Archivable {};
template <class Base>
struct ArchivableLog<Base, true> : Base {};

class StoredTestLog : public ArchivableLog<RDDIAbstractLog> {
public:
    static constexpr const char* kArchiveName = "StoredTestLog";

    StoredTestLog(std::string name, std::string payload = {}, bool commonSchema = false)
        : name(std::move(name)), payload(std::move(payload)), commonSchema(commonSchema) {}
    explicit StoredTestLog(const platform::foundation::KeyedUnarchiver& unarchiver)
        : name(unarchiver.decodeString("name").value_or("")),
          payload(unarchiver.decodeString("payload").value_or("")),
          commonSchema(unarchiver.decodeBool("commonSchema")) {}

    static void registerArchiveClass() {
        platform::foundation::KeyedUnarchiver::registerClass<StoredTestLog>(kArchiveName);
    }

    std::string className() const override { return commonSchema ? "RDDICommonSchemaLog" : "StoredTestLog"; }
    std::string archiveClassName() const override { return kArchiveName; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override {
        archiver.encodeString("name", name);
        archiver.encodeString("payload", payload);
        archiver.encodeBool("commonSchema", commonSchema);
    }

    std::string name;
    std::string payload;
    bool commonSchema = false;
};

inline std::string nameOf(const std::shared_ptr<RDDIAbstractLog>& log) {
    const auto* stored = dynamic_cast<const StoredTestLog*>(log.get());
    return stored ? stored->name : std::string("?");
}

}  // namespace rddi::testkit
