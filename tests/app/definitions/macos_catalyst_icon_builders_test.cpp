// The macOS icon builder and the Mac Catalyst icon builder: padding, corners and shadow.
#include "app/definitions/catalyst_icon_builder.hpp"
#include "app/definitions/macos_icon_builder.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "edited_manifest_support.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using gw::CollectionType;
using gw::UserDefaultsKey;

using gwtest::kOutput;

// The rendering flags of one image, for comparing whole groups at once.
struct Look {
    float zoom;
    bool roundCorners;
    bool addShadow;
    bool alphaRemoved;
    friend bool operator<(const Look& a, const Look& b) {
        return std::tie(a.zoom, a.roundCorners, a.addShadow, a.alphaRemoved) <
               std::tie(b.zoom, b.roundCorners, b.addShadow, b.alphaRemoved);
    }
    friend bool operator==(const Look&, const Look&) = default;
};

void PrintTo(const Look& look, std::ostream* out) {
    *out << fmt::format("zoom {} corners {} shadow {} alpha removed {}", look.zoom, look.roundCorners, look.addShadow,
                        look.alphaRemoved);
}

class MacIconBuilders : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    template <class Builder>
    gw::FolderDefinition build(std::vector<gw::ImageInputPtr> pictures = {}) {
        if (pictures.empty()) pictures = {gwtest::pictureOfSize(1024, 1024)};
        return Builder({std::move(pictures), CollectionType::single}, kOutput, factory_).build();
    }

    // The looks of the images whose file name starts with `prefix`.
    static std::set<Look> looks(const gw::FolderDefinition& catalog, const std::string& prefix) {
        std::set<Look> found;
        for (const auto& image : gwtest::allImages(catalog)) {
            if (!image.outputDirectory.lastPathComponent().starts_with(prefix)) continue;
            found.insert({image.zoom, image.roundCorners, image.addShadow, image.isAlphaChannelRemoved});
        }
        return found;
    }

    static void set(UserDefaultsKey key, bool value) { pf::UserDefaults::standard().setBool(value, gw::rawValue(key)); }

    std::shared_ptr<gwtest::AlwaysAllowTestFactory> factory_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
};

TEST_F(MacIconBuilders, PlanTheirGoldenCatalogsFromRealPictures) {
    gwtest::TempDir pictures;
    auto picture = gwtest::loadPng(pictures.path(), "AppIcon", 1024, 1024);
    const auto mac = build<gw::FolderDefinitionBuilderOSXIcons>({picture});
    gwtest::expectMatchesGolden(mac, "macos-icon");
    EXPECT_EQ(looks(mac, ""), (std::set<Look>{{1.0f, false, false, false}}));

    // Defaults: iOS half full size with the shadow step and opaque; macOS half padded,
    // rounded and shadowed; the car slots left out.
    const auto catalyst = build<gw::FolderDefinitionBuilderCatalystIcon>({picture});
    gwtest::expectMatchesGolden(catalyst, "catalyst");
    EXPECT_EQ(looks(catalyst, "Icon-"), (std::set<Look>{{1.0f, false, true, true}}));
    EXPECT_EQ(looks(catalyst, "icon_"), (std::set<Look>{{0.808f, true, true, false}}));
    for (const auto& image : gwtest::allImages(catalyst)) EXPECT_EQ(image.imageInput, picture);
}

TEST_F(MacIconBuilders, MacOSIconsFollowOnlyTheirOwnKeys) {
    set(UserDefaultsKey::macIconPadding, true);
    EXPECT_EQ(looks(build<gw::FolderDefinitionBuilderOSXIcons>(), ""), (std::set<Look>{{0.808f, false, false, false}}));
    set(UserDefaultsKey::macIconPadding, false);
    set(UserDefaultsKey::macIconRoundCorners, true);
    set(UserDefaultsKey::macIconDropShadow, true);
    set(UserDefaultsKey::catalinaMacIconPadding, true);
    set(UserDefaultsKey::removeiOSIconTransparency, true);
    set(UserDefaultsKey::carKitOn, false);
    EXPECT_EQ(looks(build<gw::FolderDefinitionBuilderOSXIcons>(), ""), (std::set<Look>{{1.0f, true, true, false}}));
}

TEST_F(MacIconBuilders, CatalystIconsFollowOnlyTheCatalystKeys) {
    set(UserDefaultsKey::catalinaMacIconDropShadow, false);
    set(UserDefaultsKey::macIconPadding, false);
    set(UserDefaultsKey::macIconRoundCorners, false);
    auto catalyst = build<gw::FolderDefinitionBuilderCatalystIcon>();
    EXPECT_EQ(looks(catalyst, "icon_"), (std::set<Look>{{0.808f, true, false, false}}));
    EXPECT_EQ(looks(catalyst, "Icon-"), (std::set<Look>{{1.0f, false, true, true}}));

    set(UserDefaultsKey::catalinaMacIconPadding, false);
    set(UserDefaultsKey::catalinaMacIconRoundCorners, false);
    set(UserDefaultsKey::removeiOSIconTransparency, false);
    set(UserDefaultsKey::carKitOn, true);
    catalyst = build<gw::FolderDefinitionBuilderCatalystIcon>();
    EXPECT_EQ(looks(catalyst, "icon_"), (std::set<Look>{{1.0f, false, false, false}}));
    EXPECT_EQ(looks(catalyst, "Icon-"), (std::set<Look>{{1.0f, false, true, false}}));
    // With CarPlay on, its slots join the iOS half, still ahead of every macOS entry.
    const auto& iconSet = catalyst.subfolderDefinitions.at(0);
    const pf::Value contents(iconSet.contentsDictionary);
    std::vector<std::string> idioms;
    for (const auto& entry : *contents["images"].asArray()) idioms.push_back(*entry["idiom"].asString());
    ASSERT_EQ(idioms.size(), 30u);
    EXPECT_EQ(idioms[19], "car");
    EXPECT_EQ(idioms[20], "mac");
    EXPECT_EQ(std::count(idioms.begin(), idioms.end(), "mac"), 10);
    EXPECT_EQ(iconSet.imageDefinitions.size(), 30u);
}

// The Catalyst icon set is the folder the iOS entry names, whatever the macOS entry
// calls its own; and only the iOS half loses its CarPlay slots.
TEST_F(MacIconBuilders, CatalystUsesTheIOSFolderNameAndFiltersOnlyTheIOSHalf) {
    gwtest::useEditedManifest([](pf::Value& manifests) {
        auto& mac = manifests.member("osxIcon");
        mac.member("filename") = pf::Value("MacIcon.appiconset");
        mac.member("images").asArray()->push_back(
            gwtest::manifestImage("icon_car.png", pf::Value::dict({{"idiom", "car"}, {"scale", "1x"}}), 64, 64));
    });
    set(UserDefaultsKey::carKitOn, false);
    const auto catalyst = build<gw::FolderDefinitionBuilderCatalystIcon>();
    ASSERT_EQ(catalyst.subfolderDefinitions.size(), 1u);
    const auto& iconSet = catalyst.subfolderDefinitions[0];
    EXPECT_EQ(iconSet.outputDirectory.path(), "/tmp/gw-out/Assets.xcassets/AppIcon.appiconset");
    for (const auto& request : factory_->requests()) EXPECT_NE(request.url.lastPathComponent(), "MacIcon.appiconset");

    const pf::Value contents(iconSet.contentsDictionary);
    std::vector<std::string> idioms;
    for (const auto& entry : *contents["images"].asArray()) idioms.push_back(*entry["idiom"].asString());
    ASSERT_EQ(idioms.size(), 29u);  // 18 iOS slots without the two CarPlay ones, then 10 + 1 macOS
    EXPECT_EQ(std::count(idioms.begin(), idioms.end(), "car"), 1);
    EXPECT_EQ(idioms.back(), "car");
    EXPECT_EQ(iconSet.imageDefinitions.back().outputDirectory.lastPathComponent(), "icon_car.png");

    // The macOS icon builder drops nothing either.
    const auto mac = build<gw::FolderDefinitionBuilderOSXIcons>();
    EXPECT_EQ(mac.subfolderDefinitions.at(0).outputDirectory.lastPathComponent(), "MacIcon.appiconset");
    EXPECT_EQ(mac.subfolderDefinitions.at(0).imageDefinitions.size(), 11u);
}

}  // namespace
