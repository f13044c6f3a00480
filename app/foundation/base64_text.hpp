#pragma once
// Binary data as Base64 text (standard alphabet, padded), the way the JSON forms carry
// picture bytes.
#include "platform/foundation/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace gw {

std::string base64Encoded(const platform::foundation::Data& data);
// None for text that is not padded standard Base64.
std::optional<platform::foundation::Data> base64Decoded(std::string_view text);

}  // namespace gw
