#pragma once
// Stands in for the platform's value transformers: named conversions that a binding
// applies to the model's value before the control shows it (and, for reversible
// ones, back). The registry is process-wide; the negate-Boolean transformer is built
// in under "NSNegateBoolean".
#include "platform/appkit/key_value.hpp"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform::appkit {

class ValueTransformer {
public:
    virtual ~ValueTransformer() = default;
    virtual KeyValue transformedValue(const KeyValue& value) const = 0;
    virtual bool allowsReverseTransformation() const { return false; }
    // Only called when reversible.
    virtual KeyValue reverseTransformedValue(const KeyValue& value) const { return value; }

    // Replaces any transformer of that name; null removes it.
    static void setValueTransformer(std::shared_ptr<ValueTransformer> transformer, std::string name);
    // Null for an unknown name.
    static std::shared_ptr<ValueTransformer> valueTransformerForName(std::string_view name);
};

inline constexpr std::string_view negateBooleanTransformerName = "NSNegateBoolean";

// A transformer of two functions (the reverse one may be empty).
class BlockValueTransformer : public ValueTransformer {
public:
    using Function = std::function<KeyValue(const KeyValue&)>;
    explicit BlockValueTransformer(Function forward, Function reverse = {})
        : forward_(std::move(forward)), reverse_(std::move(reverse)) {}
    KeyValue transformedValue(const KeyValue& value) const override { return forward_(value); }
    bool allowsReverseTransformation() const override { return static_cast<bool>(reverse_); }
    KeyValue reverseTransformedValue(const KeyValue& value) const override { return reverse_(value); }

private:
    Function forward_;
    Function reverse_;
};

}  // namespace platform::appkit
