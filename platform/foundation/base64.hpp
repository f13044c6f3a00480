#pragma once
// Binary data as Base64 text (standard alphabet, padded), the way the JSON forms carry
// picture bytes.
#include "platform/foundation/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

std::string base64Encoded(const Data& data);
// None for text that is not padded standard Base64.
std::optional<Data> base64Decoded(std::string_view text);

}  // namespace platform::foundation
