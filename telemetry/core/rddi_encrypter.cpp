#include "telemetry/core/rddi_encrypter.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/date.hpp"
#include "platform/security/crypto.hpp"
#include "platform/security/keychain.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_keychain_util.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
#include <atomic>

namespace rddi {

namespace pf = platform::foundation;
namespace ps = platform::security;

namespace {

// The current-tag decision and key creation: one per process, so two threads never
// make two keys for one tag (the keychain's file lock covers other processes).
std::mutex& encrypterLock() {
    static std::mutex mutex;
    return mutex;
}

std::atomic<bool>& unauthenticatedFormsSwitch() {
    static std::atomic<bool> enabled{false};
    return enabled;
}

constexpr int kRandomSourceFailure = -1;

std::optional<pf::Data> decodeKey(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return pf::base64Decoded(*text);
}

}  // namespace

void RDDIEncrypter::setDecryptsUnauthenticatedForms(bool enabled) { unauthenticatedFormsSwitch() = enabled; }

bool RDDIEncrypter::decryptsUnauthenticatedForms() { return unauthenticatedFormsSwitch(); }

std::optional<std::string> RDDIEncrypter::encryptString(const std::string& string) {
    const auto encrypted = encryptData(pf::Data(string.begin(), string.end()));
    if (!encrypted) return std::nullopt;
    return pf::base64Encoded(*encrypted);
}

std::optional<pf::Data> RDDIEncrypter::encryptData(const pf::Data& data) {
    const auto tag = getCurrentKeyTag();
    const auto key = getKeyWithKeyTag(tag);
    if (!key) return std::nullopt;
    const auto encryptionKey = getSubkey(*key, kKeySize);
    const auto authenticationKey = getSubkey(*key, kAuthenticationSubkeySize);
    const auto iv = generateInitializationVector();
    if (!iv) return std::nullopt;
    const auto cipherText = performCryptoOperation(encrypt, data, *iv, encryptionKey);
    if (!cipherText) return std::nullopt;
    const auto mac = getMacBytes(authenticationKey, *cipherText);
    auto out = getMetadataStringWithKeyTag(tag, "AES/HmacSHA256");
    out.reserve(out.size() + 1 + iv->size() + mac.size() + cipherText->size());
    out.push_back(':');
    out.insert(out.end(), iv->begin(), iv->end());
    out.insert(out.end(), mac.begin(), mac.end());
    out.insert(out.end(), cipherText->begin(), cipherText->end());
    return out;
}

std::optional<std::string> RDDIEncrypter::decryptString(const std::string& string) {
    const auto data = pf::base64Decoded(string);
    if (!data) {
        RDDILogWarning(kRDDILogTag, "Conversion of encrypted string to NSData failed.");
        return std::nullopt;
    }
    const auto decrypted = decryptData(*data);
    if (!decrypted) return std::nullopt;
    std::string text(decrypted->begin(), decrypted->end());
    // Decrypted bytes that are not UTF-8 have no string form.
    std::size_t i = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    while (i < text.size()) {
        const unsigned char c = bytes[i];
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            RDDILogWarning(kRDDILogTag, "Converting decrypted NSData to NSString failed.");
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                RDDILogWarning(kRDDILogTag, "Converting decrypted NSData to NSString failed.");
                return std::nullopt;
            }
        }
        i += length;
    }
    return text;
}

std::optional<pf::Data> RDDIEncrypter::decryptUnauthenticated(const pf::Data& cipherText, const pf::Data& iv,
                                                              const pf::Data& key) const {
    if (!decryptsUnauthenticatedForms()) {
        RDDILogError(kRDDILogTag, "Refusing to decrypt a value without a MAC.");
        return std::nullopt;
    }
    return performCryptoOperation(decrypt, cipherText, iv, key);
}

std::optional<pf::Data> RDDIEncrypter::decryptData(const pf::Data& data) {
    const auto location = loadMetadataLocation(data);
    if (!location) {
        // The oldest form: bare cipher text under the original key and a zero vector.
        if (!decryptsUnauthenticatedForms()) return decryptUnauthenticated(data, {}, {});
        const auto key = getKeyWithKeyTag(kRDEncryptionKeyTag);
        if (!key) return std::nullopt;
        return decryptUnauthenticated(data, pf::Data(kInitializationVectorSize, 0), *key);
    }
    const auto metadata = loadMetadata(data, location).value_or(std::string());
    const auto tag = metadata.substr(0, metadata.find('/'));
    const std::size_t ivStart = *location + 1;
    if (hasOldMetadata(metadata, tag)) {
        if (!decryptsUnauthenticatedForms()) return decryptUnauthenticated(data, {}, {});
        if (data.size() < ivStart + kInitializationVectorSize) {
            RDDILogError(kRDDILogTag, "Encrypted data is shorter than its metadata announces.");
            return std::nullopt;
        }
        const auto key = getKeyWithKeyTag(tag);
        if (!key) return std::nullopt;
        const pf::Data iv(data.begin() + static_cast<long>(ivStart),
                          data.begin() + static_cast<long>(ivStart + kInitializationVectorSize));
        const pf::Data cipherText(data.begin() + static_cast<long>(ivStart + kInitializationVectorSize), data.end());
        return decryptUnauthenticated(cipherText, iv, *key);
    }
    if (data.size() < ivStart + kInitializationVectorSize + kMacSize) {
        RDDILogError(kRDDILogTag, "Encrypted data is shorter than its metadata announces.");
        return std::nullopt;
    }
    const auto key = getKeyWithKeyTag(tag);
    if (!key) return std::nullopt;
    const auto encryptionKey = getSubkey(*key, kKeySize);
    const auto authenticationKey = getSubkey(*key, kAuthenticationSubkeySize);
    const auto macStart = data.begin() + static_cast<long>(ivStart + kInitializationVectorSize);
    const pf::Data iv(data.begin() + static_cast<long>(ivStart), macStart);
    const pf::Data mac(macStart, macStart + static_cast<long>(kMacSize));
    const pf::Data cipherText(macStart + static_cast<long>(kMacSize), data.end());
    if (!ps::constantTimeEquals(getMacBytes(authenticationKey, cipherText), mac)) {
        throw RDDIEncrypterException("Authenticate MAC exception.", "Could not authenticate MAC value.");
    }
    return performCryptoOperation(decrypt, cipherText, iv, encryptionKey);
}

std::string RDDIEncrypter::getCurrentKeyTag() {
    std::lock_guard lock(encrypterLock());
    const auto stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(kEncryptionKeyMetadataKey);
    const auto* metadata = stored.asString();
    if (!metadata) {
        rotateToNewKeyTag(kRDEncryptionKeyTagAlternate);
        return kRDEncryptionKeyTagAlternate;
    }
    const auto slash = metadata->find('/');
    const auto tag = metadata->substr(0, slash);
    const auto expiry =
        slash == std::string::npos ? std::nullopt : RDDIUtility::dateFromISO8601(metadata->substr(slash + 1));
    if (expiry && *expiry >= pf::Date::now()) return tag;
    const std::string newTag = tag == kRDEncryptionKeyTag ? kRDEncryptionKeyTagAlternate : kRDEncryptionKeyTag;
    rotateToNewKeyTag(newTag);
    return newTag;
}

void RDDIEncrypter::rotateToNewKeyTag(const std::string& tag) {
    const auto expiry = pf::Date::now().addingTimeInterval(kKeyLifetimeSeconds);
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(tag + "/" + RDDIUtility::dateToISO8601(expiry)),
                                                   kEncryptionKeyMetadataKey);
}

std::optional<pf::Data> RDDIEncrypter::getKeyWithKeyTag(const std::string& tag) {
    const bool original = tag == kRDEncryptionKeyTag;
    {
        std::lock_guard lock(slotsMutex_);
        const auto& slot = original ? originalKeyData_ : alternateKeyData_;
        // The alternate slot serves every other tag, so it only answers for the tag it was filled for.
        if (slot && (original || alternateTag_ == tag)) return slot;
    }
    auto key = decodeKey(RDDIKeychainUtil::stringForKey(tag));
    if (!key) {
        std::lock_guard lock(encrypterLock());
        ps::keychain::withExclusiveLock(RDDIKeychainUtil::serviceName(), [&] {
            key = decodeKey(RDDIKeychainUtil::stringForKey(tag));
            if (!key) key = generateAndSaveKeyWithTag(tag);
        });
    }
    if (!key) return std::nullopt;
    std::lock_guard lock(slotsMutex_);
    if (original) {
        originalKeyData_ = key;
    } else {
        alternateKeyData_ = key;
        alternateTag_ = tag;
    }
    return key;
}

std::optional<pf::Data> RDDIEncrypter::generateAndSaveKeyWithTag(const std::string& tag) {
    pf::Data key(kKeySize);
    if (!ps::randomBytes(key.data(), key.size())) {
        RDDILogError(kRDDILogTag, "Error generating encryption key. Error code: {}", kRandomSourceFailure);
        return std::nullopt;
    }
    std::optional<pf::Data> result;
    ps::keychain::withExclusiveLock(RDDIKeychainUtil::serviceName(), [&] {
        const int status = RDDIKeychainUtil::addString(pf::base64Encoded(key), tag, RDDIKeychainUtil::serviceName());
        if (status == ps::keychain::kStatusSuccess) {
            result = key;
        } else if (status == ps::keychain::kStatusDuplicateItem) {
            // Another party made the key first; values may already be encrypted with it.
            result = decodeKey(RDDIKeychainUtil::stringForKey(tag));
        }
    });
    return result;
}

std::optional<pf::Data> RDDIEncrypter::generateInitializationVector() {
    pf::Data iv(kInitializationVectorSize);
    if (!ps::randomBytes(iv.data(), iv.size())) {
        RDDILogError(kRDDILogTag, "Error generating initialization vector. Error code: {}", kRandomSourceFailure);
        return std::nullopt;
    }
    return iv;
}

pf::Data RDDIEncrypter::getSubkey(const pf::Data& key, long outputSize) const {
    if (outputSize < 1) {
        throw RDDIEncrypterException("Invalid output data length.", "Output data length must be greater than zero.");
    }
    const auto size = static_cast<std::size_t>(outputSize);
    pf::Data output;
    pf::Data block;
    for (std::size_t i = 0; output.size() < size; ++i) {
        block.push_back(static_cast<std::uint8_t>(i));
        block = ps::hmacSha256(key, block);
        output.insert(output.end(), block.begin(), block.end());
    }
    output.resize(size);
    return output;
}

pf::Data RDDIEncrypter::getMacBytes(const pf::Data& authenticationKey, const pf::Data& data) const {
    return ps::hmacSha256(authenticationKey, data);
}

pf::Data RDDIEncrypter::getMetadataStringWithKeyTag(const std::string& tag, const std::string& algorithmName) {
    const auto text = fmt::format("{}/{}/CBC/PKCS7/{}", tag, algorithmName, kKeySize);
    return pf::Data(text.begin(), text.end());
}

pf::Data RDDIEncrypter::getMetadataStringWithKeyTag(const std::string& tag) {
    return getMetadataStringWithKeyTag(tag, "AES");
}

bool RDDIEncrypter::hasOldMetadata(const std::string& metadata, const std::string& tag) const {
    const auto old = getMetadataStringWithKeyTag(tag);
    return metadata == std::string(old.begin(), old.end());
}

std::optional<std::size_t> RDDIEncrypter::loadMetadataLocation(const pf::Data& data) {
    const auto found = std::find(data.begin(), data.end(), static_cast<std::uint8_t>(':'));
    if (found == data.end()) return std::nullopt;
    return static_cast<std::size_t>(found - data.begin());
}

std::optional<std::string> RDDIEncrypter::loadMetadata(const pf::Data& data,
                                                       std::optional<std::size_t> metadataLocation) {
    if (!metadataLocation || *metadataLocation > data.size()) return std::nullopt;
    return std::string(data.begin(), data.begin() + static_cast<long>(*metadataLocation));
}

std::optional<pf::Data> RDDIEncrypter::performCryptoOperation(Operation operation, const pf::Data& input,
                                                              const pf::Data& initializationVector,
                                                              const pf::Data& key) {
    const auto result = operation == encrypt ? ps::aes256CbcEncrypt(key, initializationVector, input)
                                             : ps::aes256CbcDecrypt(key, initializationVector, input);
    if (!result) RDDILogError(kRDDILogTag, "Error performing encryption or decryption.");
    return result;
}

std::optional<pf::Data> RDDIEncrypter::originalKeyData() const {
    std::lock_guard lock(slotsMutex_);
    return originalKeyData_;
}

std::optional<pf::Data> RDDIEncrypter::alternateKeyData() const {
    std::lock_guard lock(slotsMutex_);
    return alternateKeyData_;
}

}  // namespace rddi
