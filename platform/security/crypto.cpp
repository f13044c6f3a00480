#include "platform/security/crypto.hpp"

#include "platform/foundation/error.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>
#include <mutex>

namespace platform::security {

namespace {

foundation::Data digest(const EVP_MD* type, const void* bytes, std::size_t length) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    foundation::Data out(static_cast<std::size_t>(EVP_MD_size(type)));
    unsigned int written = 0;
    if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes, length) != 1 ||
        EVP_DigestFinal_ex(context.get(), out.data(), &written) != 1) {
        throw foundation::Error("platform.security", 1, "The digest could not be computed.");
    }
    out.resize(written);
    return out;
}

std::optional<foundation::Data> aesCbc(bool encrypt, const foundation::Data& key, const foundation::Data& iv,
                                       const foundation::Data& input) {
    if (key.size() != kAES256KeySize || iv.size() != kAESBlockSize || input.size() > INT_MAX - 2 * kAESBlockSize) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            &EVP_CIPHER_CTX_free);
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1) {
        return std::nullopt;
    }
    foundation::Data out(input.size() + kAESBlockSize);
    int written = 0;
    int finalWritten = 0;
    if (EVP_CipherUpdate(context.get(), out.data(), &written, input.data(), static_cast<int>(input.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out.data() + written, &finalWritten) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(written + finalWritten));
    return out;
}

std::mutex& randomSourceMutex() {
    static std::mutex mutex;
    return mutex;
}

RandomSource& randomSource() {
    static RandomSource source;
    return source;
}

}  // namespace

foundation::Data sha256(std::string_view bytes) { return digest(EVP_sha256(), bytes.data(), bytes.size()); }

foundation::Data sha256(const foundation::Data& bytes) { return digest(EVP_sha256(), bytes.data(), bytes.size()); }

std::string hexString(const foundation::Data& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const auto byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::optional<foundation::Data> aes256CbcEncrypt(const foundation::Data& key, const foundation::Data& iv,
                                                 const foundation::Data& input) {
    return aesCbc(true, key, iv, input);
}

std::optional<foundation::Data> aes256CbcDecrypt(const foundation::Data& key, const foundation::Data& iv,
                                                 const foundation::Data& input) {
    return aesCbc(false, key, iv, input);
}

foundation::Data hmacSha256(const foundation::Data& key, const foundation::Data& message) {
    foundation::Data out(EVP_MAX_MD_SIZE);
    unsigned int written = 0;
    static const std::uint8_t kEmpty = 0;
    if (!HMAC(EVP_sha256(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()),
              message.empty() ? &kEmpty : message.data(), message.size(), out.data(), &written)) {
        throw foundation::Error("platform.security", 2, "The message authentication code could not be computed.");
    }
    out.resize(written);
    return out;
}

bool randomBytes(std::uint8_t* out, std::size_t count) {
    {
        std::lock_guard lock(randomSourceMutex());
        if (randomSource()) return randomSource()(out, count);
    }
    if (count > INT_MAX) return false;
    return RAND_bytes(out, static_cast<int>(count)) == 1;
}

void setRandomSourceForTesting(RandomSource source) {
    std::lock_guard lock(randomSourceMutex());
    randomSource() = std::move(source);
}

bool constantTimeEquals(const foundation::Data& a, const foundation::Data& b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace platform::security
