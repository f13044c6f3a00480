#include "telemetry/core/rddi_utility.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace {

using rddi::RDDIUtility;

TEST(StartStringTest, ReadsSecretAndTokenFromTheirComponents) {
    const std::string bare = "secret-123;target=token-456";
    EXPECT_EQ(RDDIUtility::appSecretFrom(bare), "secret-123");
    EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom(bare), "token-456");

    const std::string keyed = "appsecret=abc;target=xyz";
    EXPECT_EQ(RDDIUtility::appSecretFrom(keyed), "abc");
    EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom(keyed), "xyz");
}

TEST(StartStringTest, PlatformComponentWinsOverTheGenericSecret) {
    const std::string text = "appsecret=generic;macos=platform";
    EXPECT_EQ(RDDIUtility::appSecretFrom(text), "platform");
    EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom(text), std::nullopt);
}

TEST(StartStringTest, TokenOnlyStringHasNoSecret) {
    EXPECT_EQ(RDDIUtility::appSecretFrom("target=only"), std::nullopt);
    EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom("target=only"), "only");
}

TEST(StartStringTest, EmptyOrMissingStringsGiveNeither) {
    for (const std::optional<std::string>& text : {std::optional<std::string>(), std::optional<std::string>(""),
                                                    std::optional<std::string>(";;"),
                                                    std::optional<std::string>("target=")}) {
        EXPECT_EQ(RDDIUtility::appSecretFrom(text), std::nullopt);
        EXPECT_EQ(RDDIUtility::transmissionTargetTokenFrom(text), std::nullopt);
    }
    // Empty components before the secret are skipped.
    EXPECT_EQ(RDDIUtility::appSecretFrom(";;appsecret=late"), "late");
}

TEST(PropertyValidationTest, CutsLongKeysAndValuesAndStopsAtTwentyEntries) {
    std::map<std::string, std::string> properties;
    for (int i = 0; i < 25; ++i) properties[fmt::format("k{:02}", i)] = "v";
    properties[std::string(130, 'z')] = std::string(130, 'y');
    properties[""] = "skipped";
    const auto valid = RDDIUtility::validateProperties(properties, "name", "event");
    EXPECT_EQ(valid.size(), 20u);
    EXPECT_FALSE(valid.contains(""));

    const auto longOnes = RDDIUtility::validateProperties({{std::string(130, 'z'), std::string(130, 'y')}}, "n", "page");
    ASSERT_EQ(longOnes.size(), 1u);
    EXPECT_EQ(longOnes.begin()->first, std::string(125, 'z'));
    EXPECT_EQ(longOnes.begin()->second, std::string(125, 'y'));
}

TEST(PropertyValidationTest, LengthsAreCountedInUTF16UnitsWithoutSplittingCharacters) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
    EXPECT_EQ(rddi::RDDIUTF16Length("a" + emoji + "\xC3\xA9"), 4u);
    EXPECT_EQ(rddi::RDDITruncateToUTF16Length("ab" + emoji, 3), "ab");
    EXPECT_EQ(rddi::RDDITruncateToUTF16Length("ab" + emoji, 4), "ab" + emoji);
}

}  // namespace
