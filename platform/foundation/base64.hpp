#pragma once
// Binary data as Base64 text (standard alphabet, padded), the way the JSON forms carry
// picture bytes.
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::foundation {

std::string base64Encoded(const Data& data);
// Appends the text of `bytes` to `text`; pieces whose sizes are multiples of three append
// to the text of the whole.
void appendBase64Encoded(std::string& text, std::span<const std::uint8_t> bytes);
// None for text that is not padded standard Base64.
std::optional<Data> base64Decoded(std::string_view text);

}  // namespace platform::foundation
