#include "platform/security/crypto.hpp"

#include "platform/foundation/error.hpp"

#include <openssl/evp.h>

#include <memory>

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

}  // namespace platform::security
