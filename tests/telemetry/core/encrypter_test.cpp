#include "telemetry/core/rddi_encrypter.hpp"

#include "platform/foundation/base64.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/date.hpp"
#include "platform/security/crypto.hpp"
#include "platform/security/keychain.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_keychain_util.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace {

namespace pf = platform::foundation;
namespace ps = platform::security;
using rddi::RDDIEncrypter;
using rddi::RDDIEncrypterException;
using rddi::RDDIKeychainUtil;
using rddi::testkit::TelemetryTestEnvironment;

std::string storedMetadata() {
    const auto value = rddi::RDDIDezIdedevUserDefaults::shared()->objectForKey(RDDIEncrypter::kEncryptionKeyMetadataKey);
    return value.asString() ? *value.asString() : std::string();
}

pf::Data concat(std::initializer_list<pf::Data> parts) {
    pf::Data out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The exception's name, or "" when decrypting does not raise.
std::string raisedName(RDDIEncrypter& encrypter, const pf::Data& value) {
    try {
        encrypter.decryptData(value);
    } catch (const RDDIEncrypterException& e) {
        return e.name();
    }
    return {};
}

TEST(KeychainUtilTest, StoresReplacesReadsAndDeletesStringsUnderTheSdkService) {
    TelemetryTestEnvironment env;
    EXPECT_EQ(RDDIKeychainUtil::serviceName(), pf::Bundle::main().bundleIdentifier() + ".DezIdedev");
    int status = 0;
    EXPECT_FALSE(RDDIKeychainUtil::stringForKey("k", &status));
    EXPECT_EQ(status, ps::keychain::kStatusItemNotFound);
    EXPECT_FALSE(RDDIKeychainUtil::deleteStringForKey("k"));  // nothing stored: nothing deleted

    EXPECT_TRUE(RDDIKeychainUtil::storeString("one", "k"));
    EXPECT_TRUE(RDDIKeychainUtil::storeString("two", "k"));  // a duplicate is replaced
    EXPECT_EQ(RDDIKeychainUtil::stringForKey("k", &status), "two");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelVerbose,
                           "Stored a string with key='k', service='" + RDDIKeychainUtil::serviceName() + "' to keychain."));
    EXPECT_EQ(RDDIKeychainUtil::addString("three", "k", RDDIKeychainUtil::serviceName()),
              ps::keychain::kStatusDuplicateItem);
    EXPECT_EQ(RDDIKeychainUtil::stringForKey("k"), "two");

    EXPECT_EQ(RDDIKeychainUtil::deleteStringForKey("k"), "two");
    EXPECT_FALSE(RDDIKeychainUtil::stringForKey("k"));
    EXPECT_TRUE(RDDIKeychainUtil::storeString("x", "a"));
    EXPECT_TRUE(RDDIKeychainUtil::storeString("y", "b"));
    EXPECT_TRUE(RDDIKeychainUtil::clear());
    EXPECT_FALSE(RDDIKeychainUtil::stringForKey("a"));
    EXPECT_FALSE(RDDIKeychainUtil::clear());
}

TEST(EncrypterTest, FirstUseMakesTheAlternateKeyAndValuesRoundTripWithFreshVectors) {
    TelemetryTestEnvironment env;
    RDDIEncrypter encrypter;
    const auto before = pf::Date::now();
    const auto first = encrypter.encryptString("token-1234");
    const auto second = encrypter.encryptString("token-1234");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);

    const auto metadata = storedMetadata();
    ASSERT_EQ(metadata.rfind("kRDEncryptionKeyTagAlternate/", 0), 0u) << metadata;
    const auto expiry = rddi::RDDIUtility::dateFromISO8601(metadata.substr(metadata.find('/') + 1));
    ASSERT_TRUE(expiry);
    EXPECT_NEAR(expiry->timeIntervalSince(before), RDDIEncrypter::kKeyLifetimeSeconds, 5.0);

    const auto key = RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTagAlternate");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->size(), 44u);
    EXPECT_EQ(pf::base64Decoded(*key)->size(), 32u);
    EXPECT_FALSE(RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTag"));

    // The layout: metadata, ":", vector, MAC, cipher text of whole blocks.
    const auto raw = *pf::base64Decoded(*first);
    const std::string prefix = "kRDEncryptionKeyTagAlternate/AES/HmacSHA256/CBC/PKCS7/32:";
    ASSERT_EQ(std::string(raw.begin(), raw.begin() + static_cast<long>(prefix.size())), prefix);
    EXPECT_EQ(raw.size(), prefix.size() + 16 + 32 + 16);

    // Another instance (another owner, or the next launch) reads the key back.
    RDDIEncrypter other;
    EXPECT_EQ(other.decryptString(*first), "token-1234");
    EXPECT_EQ(encrypter.decryptString(*second), "token-1234");
    EXPECT_EQ(other.decryptString(*encrypter.encryptString("")), "");
    const std::string unicode = "Zürich – 東京 🚀";
    EXPECT_EQ(other.decryptString(*encrypter.encryptString(unicode)), unicode);
}

TEST(EncrypterTest, AnExpiredKeyRotatesAndOlderValuesStillDecrypt) {
    TelemetryTestEnvironment env;
    RDDIEncrypter encrypter;
    const auto underAlternate = encrypter.encryptString("old");
    ASSERT_TRUE(underAlternate);

    struct Case {
        std::string storedMetadata;
        std::string expectedTag;
    };
    const auto past = rddi::RDDIUtility::dateToISO8601(pf::Date::now().addingTimeInterval(-1));
    const Case cases[] = {
        {"kRDEncryptionKeyTagAlternate/" + past, "kRDEncryptionKeyTag"},
        {"kRDEncryptionKeyTag/" + past, "kRDEncryptionKeyTagAlternate"},
        {"kRDEncryptionKeyTagAlternate/not a date", "kRDEncryptionKeyTag"},
        {"no slash at all", "kRDEncryptionKeyTag"},
    };
    for (const auto& c : cases) {
        rddi::RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(c.storedMetadata),
                                                             RDDIEncrypter::kEncryptionKeyMetadataKey);
        EXPECT_EQ(RDDIEncrypter::getCurrentKeyTag(), c.expectedTag) << c.storedMetadata;
        EXPECT_EQ(storedMetadata().rfind(c.expectedTag + "/", 0), 0u);
        EXPECT_EQ(RDDIEncrypter::getCurrentKeyTag(), c.expectedTag);  // not expired any more
    }

    rddi::RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value("kRDEncryptionKeyTagAlternate/" + past),
                                                         RDDIEncrypter::kEncryptionKeyMetadataKey);
    const auto underOriginal = encrypter.encryptString("new");
    ASSERT_TRUE(underOriginal);
    const auto raw = *pf::base64Decoded(*underOriginal);
    EXPECT_EQ(std::string(raw.begin(), raw.begin() + 20), "kRDEncryptionKeyTag/");
    EXPECT_TRUE(RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTag"));
    EXPECT_NE(RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTag"),
              RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTagAlternate"));
    RDDIEncrypter later;
    EXPECT_EQ(later.decryptString(*underAlternate), "old");
    EXPECT_EQ(later.decryptString(*underOriginal), "new");
    EXPECT_EQ(encrypter.decryptString(*underAlternate), "old");
}

TEST(EncrypterTest, TamperedTruncatedAndMalformedValuesAreRefused) {
    TelemetryTestEnvironment env;
    RDDIEncrypter encrypter;
    const auto sealed = *pf::base64Decoded(*encrypter.encryptString("secret token value"));
    const std::size_t separator = *RDDIEncrypter::loadMetadataLocation(sealed);

    // One changed byte anywhere after the metadata: in the vector it garbles the text
    // without the MAC noticing in CBC, so only MAC and cipher text bytes must raise.
    for (std::size_t offset : {separator + 1 + 16, separator + 1 + 16 + 31, separator + 1 + 48, sealed.size() - 1}) {
        auto tampered = sealed;
        tampered[offset] ^= 0x01;
        EXPECT_EQ(raisedName(encrypter, tampered), "Authenticate MAC exception.") << offset;
    }
    try {
        auto tampered = sealed;
        tampered.back() ^= 0x40;
        encrypter.decryptString(pf::base64Encoded(tampered));
        ADD_FAILURE() << "no error raised";
    } catch (const RDDIEncrypterException& e) {
        EXPECT_EQ(e.reason(), "Could not authenticate MAC value.");
    }

    // Shorter than metadata, vector and MAC: refused without reading past the end.
    for (std::size_t length : {separator + 1, separator + 1 + 16, separator + 1 + 16 + 31}) {
        const pf::Data truncated(sealed.begin(), sealed.begin() + static_cast<long>(length));
        std::optional<pf::Data> result;
        EXPECT_NO_THROW(result = encrypter.decryptData(truncated)) << length;
        EXPECT_FALSE(result) << length;
    }

    env.clearLogs();
    EXPECT_FALSE(encrypter.decryptString("%%% not base64 %%%"));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelWarning, "Conversion of encrypted string to NSData failed."));

    // A correctly authenticated value whose plain text is not UTF-8.
    const auto binary = encrypter.encryptData({0xff, 0xfe, 0x00, 0x80});
    ASSERT_TRUE(binary);
    EXPECT_EQ(encrypter.decryptData(*binary), (pf::Data{0xff, 0xfe, 0x00, 0x80}));
    EXPECT_FALSE(encrypter.decryptString(pf::base64Encoded(*binary)));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelWarning, "Converting decrypted NSData to NSString failed."));
}

TEST(EncrypterTest, UnauthenticatedLegacyFormsDecryptOnlyBehindTheSwitch) {
    TelemetryTestEnvironment env;
    RDDIEncrypter encrypter;
    const auto key = *encrypter.getKeyWithKeyTag("kRDEncryptionKeyTag");
    const pf::Data iv(16, 0x24);
    // The oldest form has no metadata, so its bytes must hold no ':' (the key is random).
    std::string text;
    pf::Data oldestForm;
    for (int attempt = 0; oldestForm.empty() || RDDIEncrypter::loadMetadataLocation(oldestForm); ++attempt) {
        text = "legacy token " + std::to_string(attempt);
        oldestForm = *ps::aes256CbcEncrypt(key, pf::Data(16, 0), pf::dataFromString(text));
    }
    const auto plain = pf::dataFromString(text);
    const auto oldForm = concat({RDDIEncrypter::getMetadataStringWithKeyTag("kRDEncryptionKeyTag"), {':'}, iv,
                                 *ps::aes256CbcEncrypt(key, iv, plain)});

    ASSERT_FALSE(RDDIEncrypter::decryptsUnauthenticatedForms());
    EXPECT_FALSE(encrypter.decryptData(oldForm));
    EXPECT_FALSE(encrypter.decryptData(oldestForm));

    RDDIEncrypter::setDecryptsUnauthenticatedForms(true);
    EXPECT_EQ(encrypter.decryptData(oldForm), plain);
    EXPECT_EQ(encrypter.decryptData(oldestForm), plain);
    EXPECT_EQ(RDDIEncrypter().decryptString(pf::base64Encoded(oldForm)), text);
    // The old form with no room for its vector is refused too.
    const auto cut = concat({RDDIEncrypter::getMetadataStringWithKeyTag("kRDEncryptionKeyTag"), {':'}, pf::Data(5, 1)});
    EXPECT_FALSE(encrypter.decryptData(cut));
    RDDIEncrypter::setDecryptsUnauthenticatedForms(false);
    EXPECT_FALSE(encrypter.decryptData(oldForm));
}

TEST(EncrypterTest, SubkeysChainHmacBlocksAndMetadataIsFound) {
    TelemetryTestEnvironment env;
    RDDIEncrypter encrypter;
    const pf::Data master(32, 0x5a);
    try {
        encrypter.getSubkey(master, 0);
        ADD_FAILURE() << "size 0 accepted";
    } catch (const RDDIEncrypterException& e) {
        EXPECT_EQ(e.name(), "Invalid output data length.");
        EXPECT_EQ(e.reason(), "Output data length must be greater than zero.");
    }
    EXPECT_THROW(encrypter.getSubkey(master, -3), RDDIEncrypterException);

    const auto t1 = ps::hmacSha256(master, {0x00});
    const auto t2 = ps::hmacSha256(master, concat({t1, {0x01}}));
    const auto forty = encrypter.getSubkey(master, 40);
    ASSERT_EQ(forty.size(), 40u);
    EXPECT_EQ(forty, concat({t1, pf::Data(t2.begin(), t2.begin() + 8)}));
    EXPECT_EQ(encrypter.getSubkey(master, 32), t1);
    EXPECT_EQ(encrypter.getSubkey(master, 16), pf::Data(t1.begin(), t1.begin() + 16));
    EXPECT_EQ(encrypter.getSubkey(master, 1).size(), 1u);

    EXPECT_EQ(pf::stringFromData(RDDIEncrypter::getMetadataStringWithKeyTag("kRDEncryptionKeyTag", "AES/HmacSHA256")),
              "kRDEncryptionKeyTag/AES/HmacSHA256/CBC/PKCS7/32");
    EXPECT_TRUE(encrypter.hasOldMetadata("t/AES/CBC/PKCS7/32", "t"));
    EXPECT_FALSE(encrypter.hasOldMetadata("t/AES/HmacSHA256/CBC/PKCS7/32", "t"));
    EXPECT_EQ(RDDIEncrypter::loadMetadataLocation(pf::dataFromString("ab:c:d")), 2u);
    EXPECT_EQ(RDDIEncrypter::loadMetadata(pf::dataFromString("ab:c:d"), 2u), "ab");
    EXPECT_FALSE(RDDIEncrypter::loadMetadataLocation(pf::dataFromString("abc")));
    EXPECT_FALSE(RDDIEncrypter::loadMetadata(pf::dataFromString("abc"), std::nullopt));
}

TEST(EncrypterTest, AFailingRandomSourceGivesNoValueAndNoKey) {
    TelemetryTestEnvironment env;
    ps::setRandomSourceForTesting([](std::uint8_t*, std::size_t) { return false; });
    RDDIEncrypter encrypter;
    EXPECT_FALSE(encrypter.encryptString("token"));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Error generating encryption key. Error code: -1"));
    EXPECT_FALSE(RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTagAlternate"));
    ps::setRandomSourceForTesting({});

    // A key exists, and only the vector fails.
    ASSERT_TRUE(encrypter.encryptString("token"));
    ps::setRandomSourceForTesting([](std::uint8_t*, std::size_t) { return false; });
    EXPECT_FALSE(encrypter.encryptString("token"));
    EXPECT_TRUE(env.logged(rddi::RDDILogLevelError, "Error generating initialization vector. Error code: -1"));
    ps::setRandomSourceForTesting({});
}

TEST(EncrypterTest, ACorruptKeychainFileIsSetAsideAndANewKeyIsMade) {
    TelemetryTestEnvironment env;
    const auto sealed = *RDDIEncrypter().encryptString("before");
    const auto path = ps::keychain::storePath(RDDIKeychainUtil::serviceName());
    gwtest::writeFile(path, "\x00\x01 garbage");

    RDDIEncrypter afterwards;
    const auto fresh = afterwards.encryptString("after");
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(std::filesystem::exists(path.string() + ".corrupt"));
    EXPECT_EQ(RDDIEncrypter().decryptString(*fresh), "after");
    try {
        afterwards.decryptString(sealed);
        ADD_FAILURE() << "a value of the lost key decrypted";
    } catch (const RDDIEncrypterException& e) {
        EXPECT_EQ(e.name(), "Authenticate MAC exception.");
    }
}

TEST(EncrypterTest, ProcessesRacingForTheFirstKeyEndWithOneKey) {
    TelemetryTestEnvironment env;
    constexpr int kProcesses = 6;
    int start[2];
    int results[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(results), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            char go = 0;
            if (::read(start[0], &go, 1) != 1) ::_exit(2);
            RDDIEncrypter encrypter;
            const auto key = encrypter.getKeyWithKeyTag("kRDEncryptionKeyTag");
            const auto line = (key ? pf::base64Encoded(*key) : std::string("none")) + "\n";
            const bool written = ::write(results[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
            ::_exit(written ? 0 : 3);
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(results[1]);
    ASSERT_EQ(::write(start[1], std::string(kProcesses, 'g').data(), kProcesses), kProcesses);  // all at once
    ::close(start[1]);
    std::string output;
    char buffer[512];
    for (ssize_t n; (n = ::read(results[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    ::close(results[0]);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> keys;
    for (std::size_t begin = 0, end; (end = output.find('\n', begin)) != std::string::npos; begin = end + 1) {
        keys.insert(output.substr(begin, end - begin));
    }
    ASSERT_EQ(keys.size(), 1u) << output;
    EXPECT_EQ(*keys.begin(), RDDIKeychainUtil::stringForKey("kRDEncryptionKeyTag"));
}

}  // namespace
