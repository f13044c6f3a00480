#pragma once
// The error of reading a stored form whose keys or values are not what the form
// requires, and the checked readers of a property-list dictionary that raise it.
#include "platform/foundation/value.hpp"
#include "platform/graphics/geometry.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gw {

class DecodingError : public std::runtime_error {
public:
    enum class Case : int { keyNotFound, typeMismatch, dataCorrupted };
    DecodingError(Case errorCase, const std::string& description)
        : std::runtime_error(description), case_(errorCase) {}
    Case errorCase() const { return case_; }

private:
    Case case_;
};

namespace coding {

// The dictionary itself; typeMismatch when `value` is not one.
const platform::foundation::Dictionary& requireDictionary(const platform::foundation::Value& value,
                                                          std::string_view what);
// The member; keyNotFound when absent (a null member counts as absent).
const platform::foundation::Value& require(const platform::foundation::Dictionary& dict, std::string_view key);
// Typed members; typeMismatch when the member has another type. Numbers accept
// integers and reals; booleans only booleans; integers only whole numbers.
double requireDouble(const platform::foundation::Dictionary& dict, std::string_view key);
bool requireBool(const platform::foundation::Dictionary& dict, std::string_view key);
std::int64_t requireInteger(const platform::foundation::Dictionary& dict, std::string_view key);
const std::string& requireString(const platform::foundation::Dictionary& dict, std::string_view key);
const platform::foundation::Array& requireArray(const platform::foundation::Dictionary& dict, std::string_view key);
// A size in its standard form: an array of width and height.
platform::graphics::Size requireSize(const platform::foundation::Dictionary& dict, std::string_view key);
platform::foundation::Value encodeSize(platform::graphics::Size size);

}  // namespace coding
}  // namespace gw
