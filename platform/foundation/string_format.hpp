#pragma once
// printf-style formatting with the object placeholder "%@" and positional arguments
// ("%2$@"); stands in for the platform's string formatting with a format string.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::foundation {

// One argument: text (for %@ and %s), a 64-bit integer (%d %i %ld %lld %u %x %c …) or
// a double (%f %g %e %.2f …). A number given for %@ prints in its plain form.
using FormatArgument = std::variant<std::string, std::int64_t, double>;

// Formats `format` with `arguments`. A placeholder without an argument, or of an
// unknown kind, is copied as written instead of reading memory that is not there;
// "%%" gives "%". Numbers follow the process's numeric locale.
std::string formatString(std::string_view format, const std::vector<FormatArgument>& arguments);

}  // namespace platform::foundation
