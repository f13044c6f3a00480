#include "platform/appkit/binding.hpp"

namespace platform::appkit {

struct Bindings::Binding {
    Info info;
    Setter setter;
    std::unique_ptr<KeyPathObservation> observation;

    BoundValue shownValue() const {
        auto object = info.observedObject.lock();
        KeyValue value = object ? valueForKeyPath(*object, info.observedKeyPath) : KeyValue::noSelection();
        bool editable = true;
        if (value.isNoSelection()) {
            editable = false;
            if (info.options.noSelectionPlaceholder) value = *info.options.noSelectionPlaceholder;
        } else if (value.isMultipleValues()) {
            editable = info.options.allowsEditingMultipleValuesSelection;
            if (info.options.multipleValuesPlaceholder) value = *info.options.multipleValuesPlaceholder;
        }
        if (!info.options.valueTransformerName.empty()) {
            if (auto transformer = ValueTransformer::valueTransformerForName(info.options.valueTransformerName)) {
                value = transformer->transformedValue(value);
            }
        }
        return {std::move(value), editable};
    }
};

BindingOptions& BindingOptions::setMultipleValuesPlaceholder(const KeyValue& placeholder) {
    multipleValuesPlaceholder = placeholder;
    return *this;
}

Bindings::~Bindings() { unbindAll(); }

void Bindings::bind(std::string name, const std::shared_ptr<KeyValueCoding>& observable, std::string keyPath,
                    BindingOptions options, Setter setter) {
    unbind(name);
    auto binding = std::make_shared<Binding>();
    binding->info = Info{observable, keyPath, std::move(options)};
    binding->setter = std::move(setter);
    std::weak_ptr<Binding> weak = binding;
    if (observable) {
        binding->observation = std::make_unique<KeyPathObservation>(observable, std::move(keyPath), [weak] {
            if (auto b = weak.lock()) b->setter(b->shownValue());
        });
    }
    bindings_.emplace(std::move(name), binding);
    binding->setter(binding->shownValue());
}

void Bindings::unbind(std::string_view name) {
    auto it = bindings_.find(name);
    if (it == bindings_.end()) return;
    auto binding = std::move(it->second);
    bindings_.erase(it);
    binding->observation.reset();
}

void Bindings::unbindAll() {
    auto all = std::move(bindings_);
    bindings_.clear();
    for (auto& [name, binding] : all) binding->observation.reset();
}

bool Bindings::isBound(std::string_view name) const { return bindings_.find(name) != bindings_.end(); }

std::optional<Bindings::Info> Bindings::infoForBinding(std::string_view name) const {
    auto it = bindings_.find(name);
    if (it == bindings_.end()) return std::nullopt;
    return it->second->info;
}

bool Bindings::write(std::string_view name, const KeyValue& value) const {
    auto it = bindings_.find(name);
    if (it == bindings_.end()) return false;
    const auto& info = it->second->info;
    auto object = info.observedObject.lock();
    if (!object) return false;
    KeyValue stored = value;
    if (!info.options.valueTransformerName.empty()) {
        auto transformer = ValueTransformer::valueTransformerForName(info.options.valueTransformerName);
        if (transformer && transformer->allowsReverseTransformation()) stored = transformer->reverseTransformedValue(value);
    }
    return setValueForKeyPath(*object, info.observedKeyPath, stored);
}

std::optional<BoundValue> Bindings::currentValue(std::string_view name) const {
    auto it = bindings_.find(name);
    if (it == bindings_.end()) return std::nullopt;
    return it->second->shownValue();
}

void Bindings::refresh(std::string_view name) const {
    auto it = bindings_.find(name);
    if (it != bindings_.end()) it->second->setter(it->second->shownValue());
}

}  // namespace platform::appkit
