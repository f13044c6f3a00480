#include "app/definitions/conversion_output_type.hpp"
#include "app/definitions/folder_definition_builder_factory.hpp"

#include <gtest/gtest.h>

#include <set>

namespace {

using gw::ConversionOutputType;
using gw::Platform;
namespace Types = gw::ConversionOutputTypes;

TEST(ConversionOutputType, CommandLineNamesMatchExactlyAndRoundTrip) {
    for (auto type : Types::allCases()) {
        EXPECT_EQ(Types::fromCommandLineName(Types::commandLineName(type)), type);
    }
    EXPECT_EQ(Types::fromCommandLineName("tvOSGameCenterDashboard"), ConversionOutputType::tvOSGameCenterDashboard);
    for (auto near : {"iosIcon", "IOSICON", "iOSIcons", " iOSIcon", "iOSIcon ", "", "asset\n", "assets"}) {
        EXPECT_FALSE(Types::fromCommandLineName(near).has_value()) << '"' << near << '"';
    }
}

TEST(ConversionOutputType, RawValuesOutsideTheTableGiveNothing) {
    for (std::int64_t raw = 0; raw < 14; ++raw) {
        ASSERT_TRUE(Types::fromRawValue(raw).has_value());
        EXPECT_EQ(Types::rawValue(*Types::fromRawValue(raw)), raw);
    }
    EXPECT_FALSE(Types::fromRawValue(14).has_value());
    EXPECT_FALSE(Types::fromRawValue(-1).has_value());
    EXPECT_FALSE(Types::fromRawValue(INT64_MIN).has_value());
    EXPECT_FALSE(gw::Platforms::fromRawValue(6).has_value());
    EXPECT_FALSE(gw::Platforms::fromRawValue(-1).has_value());
}

TEST(ConversionOutputType, MenuOrderWalksThePlatforms) {
    using T = ConversionOutputType;
    const std::vector<T> expected{T::iOSIcon,         T::iOSSplash,    T::iMessageIcon,     T::tvOSIcon,
                                  T::tvOSSplash,      T::tvOSTopShelf, T::tvOSTopShelfWide, T::tvOSLeaderboard,
                                  T::tvOSGameCenterDashboard, T::watchIcon, T::complicationIcon,
                                  T::macOSIcon,       T::asset,        T::catalyst};
    const auto menu = Types::allCasesByPlatform();
    EXPECT_EQ(menu, expected);
    EXPECT_EQ(std::set<T>(menu.begin(), menu.end()).size(), 14u);
    for (auto type : menu) {
        const auto types = gw::Platforms::outputTypes(Types::platform(type));
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end());
    }
}

TEST(ConversionOutputType, DisplayNamesJoinPlatformAndType) {
    EXPECT_EQ(Types::displayName(ConversionOutputType::iOSIcon), "iOS App Icons");
    EXPECT_EQ(Types::displayName(ConversionOutputType::catalyst), "Universal Mac Catalyst Icons");
    EXPECT_EQ(Types::displayName(ConversionOutputType::macOSIcon), "macOS App Icons");
    EXPECT_EQ(Types::displayName(ConversionOutputType::tvOSLeaderboard), "tvOS Game Center Leaderboard Images");
    for (auto type : Types::allCases()) {
        // Every key resolves to a text of its own, not the key.
        EXPECT_NE(Types::typeDisplayName(type), Types::typeDisplayNameKey(type));
    }
    for (auto p : gw::Platforms::allCases()) EXPECT_NE(gw::Platforms::displayName(p), gw::Platforms::displayNameKey(p));
}

TEST(ConversionOutputType, AcceptedCollectionModes) {
    using gw::CollectionType;
    using Factory = gw::FolderDefinitionBuilderFactory;
    for (auto type : Types::allCases()) {
        const auto modes = Factory::supportedCollectionTypes(type);
        EXPECT_EQ(modes.contains(CollectionType::batch), type == ConversionOutputType::asset);
        EXPECT_TRUE(modes.contains(CollectionType::variants));
        const bool stack = type == ConversionOutputType::tvOSIcon || type == ConversionOutputType::tvOSLeaderboard;
        EXPECT_EQ(modes.contains(CollectionType::single), !stack) << Types::commandLineName(type);
    }
}

}  // namespace
