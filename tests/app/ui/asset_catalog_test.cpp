// A listed catalog loads one picture per folder inside it (the largest file's) and offers
// the first four to its tile; an unreadable catalog keeps its name and shows nothing.
#include "app/ui/asset_catalog.hpp"
#include "app/ui/multiple_catalogs_panel.hpp"

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

TEST(MultipleCatalogsPanel, TilesFollowTheListContinueWaitsForASelectionAndEachButtonAnswers) {
    gwtest::TempDir dir;
    const auto first = dir.path() / "A.xcassets";
    const auto second = dir.path() / "B.xcassets";
    for (const auto* set : {"One.imageset", "Two.imageset"})
        gwtest::ui::writeSolidPng(first / set / "p.png", 16, 16, 0x336699);
    fs::create_directories(second);

    gw::MultipleCatalogsPanel panel;
    std::vector<gw::MultipleCatalogsPanel::Result> results;
    panel.continuePressed();  // no handler: nothing
    panel.setCompletionHandler([&](const gw::MultipleCatalogsPanel::Result& r) { results.push_back(r); });
    panel.setAssetCatalogURLs({pf::URL::fileURL(first, true), pf::URL::fileURL(second, true)});
    ASSERT_EQ(panel.collectionView()->itemCount(), 2u);
    EXPECT_FALSE(panel.continueButton()->isEnabled());

    auto* tile = dynamic_cast<gw::AssetCatalogCollectionViewItem*>(panel.collectionView()->itemAt(0));
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->textField()->text().toStdString(), "A.xcassets");
    EXPECT_NE(tile->imageView(1)->image(), nullptr);
    EXPECT_NE(tile->imageView(2)->image(), nullptr);
    EXPECT_EQ(tile->imageView(3)->image(), nullptr);
    EXPECT_EQ(tile->imageView(4)->image(), nullptr);

    panel.assetCatalogsArrayController()->setSelectionIndexes({1});
    EXPECT_TRUE(panel.continueButton()->isEnabled());
    panel.continueButton()->click();
    panel.createNewCatalogButton()->click();
    panel.cancelButton()->click();
    ASSERT_EQ(results.size(), 3u);
    const auto* chosen = std::get_if<gw::MultipleCatalogsPanel::SelectedAssetCatalog>(&results[0]);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->assetCatalog->name(), "B.xcassets");
    EXPECT_TRUE(std::holds_alternative<gw::MultipleCatalogsPanel::SelectedNewDirectory>(results[1]));
    EXPECT_TRUE(std::holds_alternative<gw::MultipleCatalogsPanel::Cancelled>(results[2]));

    panel.assetCatalogsArrayController()->setSelectionIndexes({});
    EXPECT_FALSE(panel.continueButton()->isEnabled());
    panel.setAssetCatalogURLs({});  // a new list replaces every tile, also an empty one
    EXPECT_EQ(panel.collectionView()->itemCount(), 0u);
    EXPECT_FALSE(panel.continueButton()->isEnabled());

    // As the application delegate's chooser: shown, then hidden before its handler hears the choice.
    std::vector<std::pair<gw::MultipleCatalogsChoosing::Choice, std::optional<pf::URL>>> choices;
    bool hiddenFirst = false;
    panel.beginSheet(nullptr, {pf::URL::fileURL(first, true), pf::URL::fileURL(second, true)},
                     [&](gw::MultipleCatalogsChoosing::Choice choice, std::optional<pf::URL> catalog) {
                         hiddenFirst = !panel.isVisible();
                         choices.emplace_back(choice, catalog);
                     });
    EXPECT_TRUE(panel.isVisible());
    panel.assetCatalogsArrayController()->setSelectionIndexes({0});
    panel.continueButton()->click();
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_TRUE(hiddenFirst);
    EXPECT_EQ(choices[0].first, gw::MultipleCatalogsChoosing::Choice::selectedCatalog);
    ASSERT_TRUE(choices[0].second.has_value());
    EXPECT_EQ(choices[0].second->absoluteString(), pf::URL::fileURL(first, true).absoluteString());
}

}  // namespace
