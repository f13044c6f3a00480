#pragma once
// Encrypts and decrypts short strings (transmission-target tokens) for storage. The
// 256-bit key is made on the device, kept in the keychain stand-in and replaced every
// 365 days; each value carries its key's tag and its algorithm, so values written under
// the previous key still decrypt. Current values are AES-256-CBC with an HMAC-SHA256
// over the cipher text (encrypt-then-MAC).
#include "platform/foundation/value.hpp"

#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace rddi {

// A raised SDK error: its name ("Authenticate MAC exception.") and its reason.
class RDDIEncrypterException : public std::runtime_error {
public:
    RDDIEncrypterException(const std::string& name, std::string reason)
        : std::runtime_error(name), reason_(std::move(reason)) {}
    std::string name() const { return what(); }
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

class RDDIEncrypter {
public:
    static constexpr const char* kRDEncryptionKeyTag = "kRDEncryptionKeyTag";
    static constexpr const char* kRDEncryptionKeyTagAlternate = "kRDEncryptionKeyTagAlternate";
    static constexpr const char* kEncryptionKeyMetadataKey = "EncryptionKeyMetadata";
    static constexpr double kKeyLifetimeSeconds = 31536000;  // 365 days
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kInitializationVectorSize = 16;
    static constexpr std::size_t kMacSize = 32;
    static constexpr std::size_t kAuthenticationSubkeySize = 16;

    enum Operation { encrypt = 0, decrypt = 1 };

    // Base64 (no line breaks) of encryptData; none when no key or vector could be made.
    std::optional<std::string> encryptString(const std::string& string);
    std::optional<platform::foundation::Data> encryptData(const platform::foundation::Data& data);
    // None (and logged) for text that is not Base64, a value that cannot be decrypted or
    // is not UTF-8. A value whose MAC does not match raises RDDIEncrypterException.
    std::optional<std::string> decryptString(const std::string& string);
    std::optional<platform::foundation::Data> decryptData(const platform::foundation::Data& data);

    // Values without a MAC (the two earliest forms) decrypt only while this is on. It is
    // off by default: nothing on this platform ever wrote them, and they would take
    // tampered bytes unchecked.
    static void setDecryptsUnauthenticatedForms(bool enabled);
    static bool decryptsUnauthenticatedForms();

    static std::string getCurrentKeyTag();
    static void rotateToNewKeyTag(const std::string& tag);
    // The key for the tag: from this instance, the keychain, or newly made. None when
    // no key exists and none could be made.
    std::optional<platform::foundation::Data> getKeyWithKeyTag(const std::string& tag);
    // Makes 32 random bytes and adds their Base64 under the tag unless a key is already
    // stored there, in which case that one is answered.
    static std::optional<platform::foundation::Data> generateAndSaveKeyWithTag(const std::string& tag);
    static std::optional<platform::foundation::Data> generateInitializationVector();

    // The first `outputSize` bytes of HMAC-SHA256 blocks chained from the master key;
    // RDDIEncrypterException "Invalid output data length." for a size below 1.
    platform::foundation::Data getSubkey(const platform::foundation::Data& key, long outputSize) const;
    platform::foundation::Data getMacBytes(const platform::foundation::Data& authenticationKey,
                                           const platform::foundation::Data& data) const;

    static platform::foundation::Data getMetadataStringWithKeyTag(const std::string& tag,
                                                                  const std::string& algorithmName);
    static platform::foundation::Data getMetadataStringWithKeyTag(const std::string& tag);
    bool hasOldMetadata(const std::string& metadata, const std::string& tag) const;
    static std::optional<std::size_t> loadMetadataLocation(const platform::foundation::Data& data);
    static std::optional<std::string> loadMetadata(const platform::foundation::Data& data,
                                                   std::optional<std::size_t> metadataLocation);

    static std::optional<platform::foundation::Data> performCryptoOperation(
        Operation operation, const platform::foundation::Data& input,
        const platform::foundation::Data& initializationVector, const platform::foundation::Data& key);

    std::optional<platform::foundation::Data> originalKeyData() const;
    std::optional<platform::foundation::Data> alternateKeyData() const;

private:
    std::optional<platform::foundation::Data> decryptUnauthenticated(const platform::foundation::Data& cipherText,
                                                                     const platform::foundation::Data& iv,
                                                                     const platform::foundation::Data& key) const;

    mutable std::mutex slotsMutex_;
    std::optional<platform::foundation::Data> originalKeyData_;
    std::optional<platform::foundation::Data> alternateKeyData_;
    std::string alternateTag_;
};

}  // namespace rddi
