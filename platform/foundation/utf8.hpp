#pragma once
// UTF-8 checks and repair: text from outside (file names, user input, stored records)
// can hold any bytes, but JSON and property lists carry only valid UTF-8.
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::foundation {

bool isValidUTF8(std::string_view text);
// Appends the code point (at most U+10FFFF, not a surrogate) as UTF-8.
void appendUTF8(std::string& out, std::uint32_t codepoint);
// The text with every byte that does not start or continue a well-formed sequence
// (overlong forms, surrogates and values past U+10FFFF included) replaced by U+FFFD.
std::string validUTF8(std::string_view text);
// Whether the code point is a format character (Unicode's Cf: bidirectional controls,
// zero-width characters, the soft hyphen, tags…) or the line or paragraph separator.
bool isFormatCharacter(std::uint32_t codepoint);
// The text as it may be shown on a terminal or in a window, where a name or a path
// from outside must not move the cursor, retitle the window, break a line or reorder
// what is shown: every byte of a control character (C0, DEL, C1) and every byte that
// is not part of well-formed UTF-8 is written as "\xhh", and every format character
// as "\u{202e}". Everything else stays as it is, other scripts and emoji included; so
// does the backslash, so escaping twice changes nothing.
std::string escapedForDisplay(std::string_view text);
// Whether some string or dictionary key in the value is not valid UTF-8.
bool needsUTF8Repair(const Value& value);
// The value with every string and dictionary key repaired as above.
Value withValidUTF8(const Value& value);

}  // namespace platform::foundation
