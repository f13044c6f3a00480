#pragma once
// The one check of the values that setters keep for the logs made after them: the
// country code, the wrapper SDK's fields, the user and session ids, a transmission
// target's application name, version and locale and its default event properties,
// custom properties. Such a value is copied into every later log, so one that cannot be
// stored and read back (a NUL: archives refuse text holding one) or that is out of all
// proportion would cost all of them, silently. It is refused where it is set instead:
// one ERROR line naming the setter, and the value set before stays.
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace rddi {

// The longest kept text, in UTF-16 units: the limit of user ids and event names.
inline constexpr std::size_t kRDDIMaxKeptTextLength = 256;
inline constexpr std::size_t kRDDIUnlimitedKeptText = std::numeric_limits<std::size_t>::max();

bool RDDIHoldsNul(std::string_view text);

// Whether `value`, kept by `setter` as `what`, can go into later logs; otherwise one
// ERROR line under `tag` naming both (`what` must quote no more of a value than
// RDDIQuoted does). No value (a cleared one) always can.
bool RDDIAcceptKeptText(std::string_view setter, std::string_view what, const std::optional<std::string>& value,
                        std::size_t maxLength = kRDDIMaxKeptTextLength, const char* tag = nullptr);

}  // namespace rddi
