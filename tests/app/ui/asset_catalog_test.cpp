// A listed catalog loads one picture per folder inside it (the largest file's) and offers
// the first four to its tile; an unreadable catalog keeps its name and shows nothing.
#include "app/ui/asset_catalog.hpp"

#include "support/temp_dir.hpp"
#include "ui_test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

TEST(AssetCatalog, OnePicturePerSetTheLargestFileFirstFourOfferedAndUnreadableGivesNone) {
    gwtest::TempDir dir;
    const auto catalog = dir.path() / "Assets.xcassets";
    fs::create_directories(catalog / "Logo.imageset");
    fs::create_directories(catalog / "AppIcon.appiconset");
    gwtest::ui::writeSolidPng(catalog / "Logo.imageset" / "small.png", 8, 8, 0x112233);
    gwtest::ui::writeSolidPng(catalog / "Logo.imageset" / "large.png", 64, 64, 0x445566);
    gwtest::ui::writeSolidPng(catalog / "AppIcon.appiconset" / "icon.png", 16, 16, 0x778899);
    fs::create_directories(catalog / "Empty.imageset");

    gw::AssetCatalog twoSets(pf::URL::fileURL(catalog, true));
    EXPECT_EQ(twoSets.name(), "Assets.xcassets");
    ASSERT_EQ(twoSets.images().size(), 2u);
    // The larger file of the two in one set stands for it; the larger set comes first.
    EXPECT_EQ(twoSets.images()[0]->size().width, 64);
    EXPECT_EQ(twoSets.images()[1]->size().width, 16);
    EXPECT_EQ(twoSets.image(1), twoSets.images()[0]);
    EXPECT_EQ(twoSets.image(2), twoSets.images()[1]);
    EXPECT_EQ(twoSets.image(3), nullptr);
    EXPECT_EQ(twoSets.image(4), nullptr);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(twoSets.valueForKey("image3").storage()));
    EXPECT_EQ(twoSets.valueForKey("name").stringValue(), "Assets.xcassets");

    gw::AssetCatalog missing(pf::URL::fileURL(dir.path() / "Gone.xcassets", true));
    EXPECT_EQ(missing.name(), "Gone.xcassets");
    EXPECT_TRUE(missing.images().empty());
    EXPECT_EQ(missing.image(1), nullptr);
}

}  // namespace
