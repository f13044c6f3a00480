#include "telemetry/core/rddi_kept_values.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

namespace rddi {

bool RDDIHoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool RDDIAcceptKeptText(std::string_view setter, std::string_view what, const std::optional<std::string>& value,
                        std::size_t maxLength, const char* tag) {
    if (!value) return true;
    const char* logTag = tag ? tag : kRDDILogTag;
    // The length first: it reads no further than the limit, whatever the value's size.
    if (maxLength != kRDDIUnlimitedKeptText && RDDIExceedsUTF16Length(*value, maxLength)) {
        RDDILogError(logTag, "{}: {} is longer than {} characters; it is refused and the value set before is kept.",
                     setter, what, maxLength);
        return false;
    }
    if (RDDIHoldsNul(*value)) {
        RDDILogError(logTag, "{}: {} holds a NUL character, which no log can carry; it is refused and the value set "
                     "before is kept.", setter, what);
        return false;
    }
    return true;
}

}  // namespace rddi
