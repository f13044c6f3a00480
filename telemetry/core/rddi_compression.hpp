#pragma once
// gzip compression of request bodies.
#include "platform/foundation/value.hpp"

#include <optional>

namespace rddi {

class RDDICompression {
public:
    // A gzip stream of the data, in one deflate pass into a buffer of input × 1.01 + 12
    // bytes that is never enlarged: input that does not shrink enough gives none (and
    // "Deflate failed with error: %@"), as does empty or missing input (silently).
    static std::optional<platform::foundation::Data> compressData(
        const std::optional<platform::foundation::Data>& data);
};

}  // namespace rddi
