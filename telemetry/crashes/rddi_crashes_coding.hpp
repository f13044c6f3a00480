#pragma once
// Small helpers for models whose every field is optional: set fields only are written,
// to a dictionary or an archive.
#include "platform/foundation/error.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi::coding {

template <class T>
void put(platform::foundation::Dictionary& d, const char* key, const std::optional<T>& value) {
    if (value) d[key] = platform::foundation::Value(*value);
}
template <class T>
void put(platform::foundation::KeyedArchiver& a, const char* key, const std::optional<T>& value) {
    if (value) a.encode(key, platform::foundation::Value(*value));
}

template <class T>
void putObjects(platform::foundation::Dictionary& d, const char* key,
                const std::optional<std::vector<std::shared_ptr<T>>>& items) {
    if (!items) return;
    platform::foundation::Array list;
    for (const auto& item : *items) {
        if (item) list.emplace_back(item->serializeToDictionary());
    }
    d[key] = std::move(list);
}
template <class T>
void putObjects(platform::foundation::KeyedArchiver& a, const char* key,
                const std::optional<std::vector<std::shared_ptr<T>>>& items) {
    if (!items) return;
    std::vector<const platform::foundation::Archivable*> list;
    for (const auto& item : *items) {
        if (item) list.push_back(item.get());
    }
    a.encodeObjects(key, list);
}

// The list under `key`, none when absent; an element of another class:
// Error(coderReadCorrupt).
template <class T>
std::optional<std::vector<std::shared_ptr<T>>> optionalObjects(const platform::foundation::KeyedUnarchiver& u,
                                                               const char* key) {
    if (!u.containsValue(key)) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    for (auto& object : u.decodeObjects(key)) {
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (!typed) {
            throw platform::foundation::Error(platform::foundation::FoundationErrorCode::coderReadCorrupt,
                                              std::string("Archived list of unexpected class for key ") + key);
        }
        out.push_back(std::move(typed));
    }
    return out;
}

}  // namespace rddi::coding
