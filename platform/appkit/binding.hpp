#pragma once
// Stands in for the platform's bindings: a named attribute of a control ("value",
// "enabled", "hidden", "image", "selectedIndex", "state", or a property of a custom
// view) follows a key path of another object and, for editable attributes, writes
// back to it. A control owns one Bindings; binding a name again replaces the earlier
// binding, and destroying the Bindings removes every observation it made.
//
// Shown values: the value at the key path; the multiple-values placeholder in place of
// that marker when one is given; then the named transformer, if any. Observations
// are told on the thread that changed the model; the control's setter runs there.
#include "platform/appkit/key_value.hpp"
#include "platform/appkit/value_transformer.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::appkit {

struct BindingOptions {
    std::string valueTransformerName;
    std::optional<KeyValue> multipleValuesPlaceholder;
    std::optional<KeyValue> noSelectionPlaceholder;
    bool allowsEditingMultipleValuesSelection = true;
    // A text control writes at every keystroke instead of at the end of editing.
    bool continuouslyUpdatesValue = false;

    // Out of line: g++ 12 warns falsely about a variant copied into an optional here.
    BindingOptions& setMultipleValuesPlaceholder(const KeyValue& placeholder);
};

// What a control is given to show.
struct BoundValue {
    KeyValue value;
    // False when the model gives a marker the control cannot edit (no selection, or
    // multiple values where editing them is not allowed).
    bool editable = true;
};

class Bindings {
public:
    using Setter = std::function<void(const BoundValue&)>;

    struct Info {
        std::weak_ptr<KeyValueCoding> observedObject;
        std::string observedKeyPath;
        BindingOptions options;
    };

    Bindings() = default;
    ~Bindings();
    Bindings(const Bindings&) = delete;
    Bindings& operator=(const Bindings&) = delete;

    // Shows the current value at once, then after every change along the path.
    void bind(std::string name, const std::shared_ptr<KeyValueCoding>& observable, std::string keyPath,
              BindingOptions options, Setter setter);
    void unbind(std::string_view name);
    void unbindAll();
    bool isBound(std::string_view name) const;
    std::optional<Info> infoForBinding(std::string_view name) const;

    // Writes a value the user gave through the binding (reversed through a reversible
    // transformer). False when the name is not bound or nothing was written.
    bool write(std::string_view name, const KeyValue& value) const;
    // The value the binding shows now (placeholders and transformer applied).
    std::optional<BoundValue> currentValue(std::string_view name) const;
    // Shows the current value again.
    void refresh(std::string_view name) const;

private:
    struct Binding;
    std::map<std::string, std::shared_ptr<Binding>, std::less<>> bindings_;
};

}  // namespace platform::appkit
