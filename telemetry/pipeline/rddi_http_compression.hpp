#pragma once
// Gzip of request bodies for the HTTP client. Kept behind this one function so the
// SDK's shared compression utility can take its place.
#include "platform/foundation/value.hpp"

#include <optional>

namespace rddi::detail {

// A gzip stream (deflate, window bits 31) of the data; none when zlib fails.
std::optional<platform::foundation::Data> gzipRequestBody(const platform::foundation::Data& data);

}  // namespace rddi::detail
