#include "platform/security/crypto.hpp"

#include <gtest/gtest.h>

namespace {

namespace ps = platform::security;

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

}  // namespace
