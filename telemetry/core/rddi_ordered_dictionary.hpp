#pragma once
// A dictionary that remembers the order in which its keys were first set, so that
// serialising it writes the keys in that order (the platform's dictionaries keep
// theirs sorted). Not thread-safe.
#include "platform/foundation/value.hpp"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

namespace rddi {

class RDDIOrderedDictionary {
public:
    RDDIOrderedDictionary() = default;
    explicit RDDIOrderedDictionary(std::size_t capacity);

    // A new key goes to the end; replacing a value keeps the key's first position.
    void setObject(const platform::foundation::Value& value, const std::string& key);
    // Null when absent.
    const platform::foundation::Value& objectForKey(const std::string& key) const;
    std::size_t count() const { return dictionary_.size(); }
    // The keys in order of first insertion.
    const std::vector<std::string>& keys() const { return order_; }
    void removeAllObjects();
    RDDIOrderedDictionary mutableCopy() const { return *this; }

    // Equal only with an equal dictionary and an equal key order.
    bool isEqualToDictionary(const RDDIOrderedDictionary& other) const;
    friend bool operator==(const RDDIOrderedDictionary& a, const RDDIOrderedDictionary& b) {
        return a.isEqualToDictionary(b);
    }

    // The entries as JSON, top-level keys in their order.
    nlohmann::ordered_json toJson() const;

private:
    platform::foundation::Dictionary dictionary_;
    std::vector<std::string> order_;
};

}  // namespace rddi
