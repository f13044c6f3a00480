#pragma once
// Cryptographic digests on OpenSSL's EVP interface; stands in for the platform's
// crypto library.
#include "platform/foundation/value.hpp"

#include <string>
#include <string_view>

namespace platform::security {

// The 32-byte SHA-256 digest of the bytes.
foundation::Data sha256(std::string_view bytes);
foundation::Data sha256(const foundation::Data& bytes);

// Lower-case hex, two digits per byte.
std::string hexString(const foundation::Data& bytes);

}  // namespace platform::security
