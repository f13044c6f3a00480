#include "platform/security/crypto.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace {

namespace ps = platform::security;
using platform::foundation::Data;

Data fromHex(const std::string& hex) {
    Data out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(CryptoTest, Sha256MatchesTheStandardVectors) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        const auto digest = ps::sha256(c.input);
        EXPECT_EQ(digest.size(), 32u);
        EXPECT_EQ(ps::hexString(digest), c.digest) << c.input.substr(0, 20);
        EXPECT_EQ(ps::sha256(platform::foundation::dataFromString(c.input)), digest);
    }
    EXPECT_EQ(ps::hexString({0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
}

TEST(CryptoTest, HmacSha256MatchesTheStandardVectors) {
    struct Case {
        Data key;
        Data message;
        const char* mac;
    };
    const Case cases[] = {
        {Data(20, 0x0b), platform::foundation::dataFromString("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {platform::foundation::dataFromString("Jefe"), platform::foundation::dataFromString("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // A key longer than the block is hashed first.
        {Data(131, 0xaa), platform::foundation::dataFromString("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {{}, {}, "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"},
    };
    for (const auto& c : cases) EXPECT_EQ(ps::hexString(ps::hmacSha256(c.key, c.message)), c.mac);
}

TEST(CryptoTest, Aes256CbcMatchesTheStandardVectorAndPadsWithPkcs7) {
    const auto key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const auto iv = fromHex("000102030405060708090a0b0c0d0e0f");
    const auto plain = fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    const auto encrypted = ps::aes256CbcEncrypt(key, iv, plain);
    ASSERT_TRUE(encrypted);
    // Two whole blocks of the published vector, then one block of padding.
    ASSERT_EQ(encrypted->size(), 48u);
    EXPECT_EQ(ps::hexString(Data(encrypted->begin(), encrypted->begin() + 32)),
              "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");
    EXPECT_EQ(ps::aes256CbcDecrypt(key, iv, *encrypted), plain);

    for (std::size_t length : {0u, 1u, 15u, 16u, 17u}) {
        const Data input(length, 0x41);
        const auto sealed = ps::aes256CbcEncrypt(key, iv, input);
        ASSERT_TRUE(sealed);
        EXPECT_EQ(sealed->size(), (length / 16 + 1) * 16) << length;
        EXPECT_EQ(ps::aes256CbcDecrypt(key, iv, *sealed), input) << length;
    }

    // Wrong sizes and broken input are refused, never answered with garbage.
    EXPECT_FALSE(ps::aes256CbcEncrypt(Data(16, 1), iv, plain));
    EXPECT_FALSE(ps::aes256CbcEncrypt(key, Data(8, 1), plain));
    EXPECT_FALSE(ps::aes256CbcDecrypt(key, iv, Data(17, 1)));
    EXPECT_FALSE(ps::aes256CbcDecrypt(key, iv, {}));
    auto wrongKey = key;
    wrongKey[0] ^= 1;
    const auto garbled = ps::aes256CbcDecrypt(wrongKey, iv, *encrypted);
    if (garbled) {
        EXPECT_NE(*garbled, plain);  // the padding check catches most wrong keys
    }
}

TEST(CryptoTest, RandomBytesAndConstantTimeComparison) {
    Data a(32), b(32);
    ASSERT_TRUE(ps::randomBytes(a.data(), a.size()));
    ASSERT_TRUE(ps::randomBytes(b.data(), b.size()));
    EXPECT_NE(a, b);

    ps::setRandomSourceForTesting([](std::uint8_t*, std::size_t) { return false; });
    EXPECT_FALSE(ps::randomBytes(a.data(), a.size()));
    ps::setRandomSourceForTesting({});
    EXPECT_TRUE(ps::randomBytes(a.data(), a.size()));

    EXPECT_TRUE(ps::constantTimeEquals({}, {}));
    EXPECT_TRUE(ps::constantTimeEquals(a, a));
    auto changed = a;
    changed[31] ^= 0x80;
    EXPECT_FALSE(ps::constantTimeEquals(a, changed));
    EXPECT_FALSE(ps::constantTimeEquals(a, Data(a.begin(), a.end() - 1)));
}

}  // namespace
