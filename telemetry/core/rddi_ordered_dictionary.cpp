#include "telemetry/core/rddi_ordered_dictionary.hpp"

#include "platform/foundation/json.hpp"

#include <nlohmann/json.hpp>

namespace rddi {

namespace pf = platform::foundation;

RDDIOrderedDictionary::RDDIOrderedDictionary(std::size_t capacity) { order_.reserve(capacity); }

void RDDIOrderedDictionary::setObject(const pf::Value& value, const std::string& key) {
    if (!dictionary_.contains(key)) order_.push_back(key);
    dictionary_.insert_or_assign(key, value);
}

const pf::Value& RDDIOrderedDictionary::objectForKey(const std::string& key) const {
    static const pf::Value kNull;
    auto it = dictionary_.find(key);
    return it == dictionary_.end() ? kNull : it->second;
}

void RDDIOrderedDictionary::removeAllObjects() {
    dictionary_.clear();
    order_.clear();
}

bool RDDIOrderedDictionary::isEqualToDictionary(const RDDIOrderedDictionary& other) const {
    return dictionary_ == other.dictionary_ && order_ == other.order_;
}

nlohmann::ordered_json RDDIOrderedDictionary::toJson() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const auto& key : order_) {
        json[key] = nlohmann::ordered_json::parse(pf::json::toJson(dictionary_.at(key)).dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    return json;
}

}  // namespace rddi
