#pragma once
// Stands in for the platform's number formatter in its decimal style, without grouping
// separators: how a field shows a number to a person. Whole numbers show no fraction
// ("400"), others at most `maximumFractionDigits` digits after the point, trailing
// zeros dropped ("341.33"); never an exponent.
#include <optional>
#include <string>
#include <string_view>

namespace platform::appkit {

class NumberFormatter {
public:
    NumberFormatter() = default;
    explicit NumberFormatter(int maximumFractionDigits) : maximumFractionDigits_(maximumFractionDigits) {}

    int maximumFractionDigits() const { return maximumFractionDigits_; }
    // Kept between 0 and 15 (beyond that a double holds no more digits).
    void setMaximumFractionDigits(int digits);

    // Not a finite number: "0".
    std::string stringFromNumber(double value) const;
    // The number the whole text reads as (surrounding blanks allowed); none otherwise.
    std::optional<double> numberFromString(std::string_view text) const;

private:
    int maximumFractionDigits_ = 3;
};

// The shortest text that reads back as `value`, in plain decimal notation: "400",
// "0.1", "341.3333333333333". Not a finite number: "0".
std::string plainDecimal(double value);

}  // namespace platform::appkit
