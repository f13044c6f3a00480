#pragma once
// Cryptographic primitives on OpenSSL's EVP interface: digests, AES-256-CBC with
// PKCS#7 padding, HMAC-SHA256, the secure random source and constant-time comparison;
// stands in for the platform's crypto library.
#include "platform/foundation/value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::security {

// The 32-byte SHA-256 digest of the bytes.
foundation::Data sha256(std::string_view bytes);
foundation::Data sha256(const foundation::Data& bytes);

// Lower-case hex, two digits per byte.
std::string hexString(const foundation::Data& bytes);

inline constexpr std::size_t kAES256KeySize = 32;
inline constexpr std::size_t kAESBlockSize = 16;

// AES-256 in CBC mode with PKCS#7 padding. None when the key is not 32 bytes, the
// vector not 16, or (decrypting) the input is not whole blocks or its padding is wrong.
std::optional<foundation::Data> aes256CbcEncrypt(const foundation::Data& key, const foundation::Data& iv,
                                                 const foundation::Data& input);
std::optional<foundation::Data> aes256CbcDecrypt(const foundation::Data& key, const foundation::Data& iv,
                                                 const foundation::Data& input);

// The 32-byte HMAC-SHA256 of `message` keyed with `key` (any length).
foundation::Data hmacSha256(const foundation::Data& key, const foundation::Data& message);

// Fills `count` bytes from the secure random source. False (and the bytes must not be
// used) when the source fails.
bool randomBytes(std::uint8_t* out, std::size_t count);

// Replaces the random source (tests of a failing source); an empty function restores
// OpenSSL's. Not meant to be switched while other threads draw bytes.
using RandomSource = std::function<bool(std::uint8_t* out, std::size_t count)>;
void setRandomSourceForTesting(RandomSource source);

// Equal length and equal bytes, in time independent of where the bytes differ.
bool constantTimeEquals(const foundation::Data& a, const foundation::Data& b);

}  // namespace platform::security
