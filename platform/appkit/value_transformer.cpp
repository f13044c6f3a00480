#include "platform/appkit/value_transformer.hpp"

#include <map>
#include <mutex>

namespace platform::appkit {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ValueTransformer>, std::less<>> transformers;

    Registry() {
        // Markers pass through: a control shows a selection marker its own way.
        auto negate = [](const KeyValue& value) -> KeyValue {
            if (value.isMarker()) return value;
            return !value.boolValue();
        };
        transformers.emplace(std::string(negateBooleanTransformerName),
                             std::make_shared<BlockValueTransformer>(negate, negate));
    }
};

Registry& registry() {
    static Registry shared;
    return shared;
}

}  // namespace

void ValueTransformer::setValueTransformer(std::shared_ptr<ValueTransformer> transformer, std::string name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (transformer) {
        r.transformers[std::move(name)] = std::move(transformer);
    } else {
        r.transformers.erase(name);
    }
}

std::shared_ptr<ValueTransformer> ValueTransformer::valueTransformerForName(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.transformers.find(name);
    return it == r.transformers.end() ? nullptr : it->second;
}

}  // namespace platform::appkit
