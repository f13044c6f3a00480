#pragma once
// Records of what was current from a moment on (a session id, a user id, a device),
// one per launch, kept in archived histories so that a log made earlier can be
// stamped with the value of its time.
#include "platform/foundation/date.hpp"
#include "platform/foundation/keyed_archiver.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIHistoryInfo : public platform::foundation::Archivable {
public:
    RDDIHistoryInfo() = default;
    explicit RDDIHistoryInfo(platform::foundation::Date timestamp) : timestamp(timestamp) {}
    // A timestamp that is not a date: Error(coderReadCorrupt).
    explicit RDDIHistoryInfo(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDIHistoryInfo"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    std::optional<platform::foundation::Date> timestamp;
};

class RDDISessionHistoryInfo : public RDDIHistoryInfo {
public:
    RDDISessionHistoryInfo() = default;
    RDDISessionHistoryInfo(platform::foundation::Date timestamp, std::optional<std::string> sessionId)
        : RDDIHistoryInfo(timestamp), sessionId(std::move(sessionId)) {}
    explicit RDDISessionHistoryInfo(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDISessionHistoryInfo"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    std::optional<std::string> sessionId;
};

class RDDIUserIdHistoryInfo : public RDDIHistoryInfo {
public:
    RDDIUserIdHistoryInfo() = default;
    RDDIUserIdHistoryInfo(platform::foundation::Date timestamp, std::optional<std::string> userId)
        : RDDIHistoryInfo(timestamp), userId(std::move(userId)) {}
    explicit RDDIUserIdHistoryInfo(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDIUserIdHistoryInfo"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    std::optional<std::string> userId;
};

// A session record for tests of session tracking; archives only its base.
class RDDITestSessionInfo : public RDDIHistoryInfo {
public:
    using RDDIHistoryInfo::RDDIHistoryInfo;
    std::string archiveClassName() const override { return "RDDITestSessionInfo"; }
    std::optional<std::string> sessionId;
};

// Registers the core's archivable classes, and their old names, with the unarchiver;
// once per process, whoever asks first.
void RDDIRegisterCoreArchiveClasses();

// The history stored under `key` in the SDK settings: empty when nothing is stored;
// empty and logged when the value is not an archive of T records.
template <class T>
std::vector<std::shared_ptr<T>> RDDILoadHistory(const std::string& key);
// Archives the records under `key`; a failed archive stores nothing new.
void RDDISaveHistory(const std::string& key, const std::vector<std::shared_ptr<platform::foundation::Archivable>>& records);
template <class T>
void RDDISaveHistory(const std::string& key, const std::vector<std::shared_ptr<T>>& records) {
    RDDISaveHistory(key, std::vector<std::shared_ptr<platform::foundation::Archivable>>(records.begin(), records.end()));
}

// Dates are archived as seconds since 1970 with their fraction (a number), which keeps
// every date exact; a property-list date is read as well.
void RDDIEncodeDate(platform::foundation::KeyedArchiver& archiver, std::string_view key, platform::foundation::Date date);
platform::foundation::Value RDDIArchivedDate(platform::foundation::Date date);
// The date a value archived by RDDIArchivedDate stands for; none for anything else.
std::optional<platform::foundation::Date> RDDIDateFromArchived(const platform::foundation::Value& value);

// Decoding helpers that refuse a present value of the wrong type.
std::optional<std::string> RDDIDecodeOptionalString(const platform::foundation::KeyedUnarchiver& unarchiver,
                                                    std::string_view key);
std::optional<platform::foundation::Date> RDDIDecodeOptionalDate(const platform::foundation::KeyedUnarchiver& unarchiver,
                                                                 std::string_view key);
std::optional<std::int64_t> RDDIDecodeOptionalInteger(const platform::foundation::KeyedUnarchiver& unarchiver,
                                                      std::string_view key);

}  // namespace rddi
