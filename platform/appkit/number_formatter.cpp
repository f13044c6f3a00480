#include "platform/appkit/number_formatter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace platform::appkit {

namespace {

// "-0" and "-0.00" read as zero to a person, and a rounded tiny negative is one.
std::string withoutNegativeZero(std::string text) {
    if (text.starts_with('-') && text.find_first_not_of("0.", 1) == std::string::npos) text.erase(0, 1);
    return text;
}

}  // namespace

void NumberFormatter::setMaximumFractionDigits(int digits) { maximumFractionDigits_ = std::clamp(digits, 0, 15); }

std::string NumberFormatter::stringFromNumber(double value) const {
    if (!std::isfinite(value)) return "0";
    // Beyond 1e17 every double is a whole number: the plain form is already exact.
    if (std::fabs(value) >= 1e17) return plainDecimal(value);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", maximumFractionDigits_, value);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.ends_with('.')) text.pop_back();
    }
    return withoutNegativeZero(std::move(text));
}

std::optional<double> NumberFormatter::numberFromString(std::string_view text) const {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    const auto last = text.find_last_not_of(" \t");
    const std::string trimmed(text.substr(first, last - first + 1));
    char* end = nullptr;
    const double value = std::strtod(trimmed.c_str(), &end);
    if (end != trimmed.c_str() + trimmed.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string plainDecimal(double value) {
    if (!std::isfinite(value)) return "0";
    char buffer[400];  // the longest fixed form of a double is below 330 characters
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return "0";
    return withoutNegativeZero(std::string(buffer, result.ptr));
}

}  // namespace platform::appkit
