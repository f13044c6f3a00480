#include "app/definitions/tvos_icon_builder.hpp"

#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/foundation/layer_frame.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using platform::graphics::Size;
using FactoryError = gw::FolderDefinitionBuilderFactory::FolderDefinitionBuilderFactoryError;

class TvOSIconBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    // Front to back. The middle picture carries a frame the user moved off centre.
    std::vector<gw::ImageInputPtr> layeredPictures() {
        auto middle = gwtest::loadPng(dir_.path(), "Middle", 300, 300);
        auto frame = std::make_shared<gw::LayerFrame>(Size{150.3, 90.1}, Size{400, 240});
        frame->setCenterX(100.2);
        frame->setCenterY(60);
        middle->setTvOSAppIconlayerFrame(frame);
        return {gwtest::loadPng(dir_.path(), "Front", 200, 100), middle,
                gwtest::loadPng(dir_.path(), "Back", 800, 480)};
    }

    gwtest::TempDir dir_;
    pf::URL output_ = pf::URL::fileURL(dir_ / "out", true);
    std::shared_ptr<gwtest::StoredAnswerTestFactory> factory_ = std::make_shared<gwtest::StoredAnswerTestFactory>();
};

TEST_F(TvOSIconBuilder, PlansTheGoldenBrandAssetsFromThreeLayers) {
    auto inputs = layeredPictures();
    auto middleFrame = inputs[1]->tvOSAppIconlayerFrame();
    gw::FolderDefinitionBuildertvOSIcon builder({inputs, gw::CollectionType::variants}, output_, factory_);
    const auto catalog = builder.build();
    gwtest::expectMatchesGolden(catalog, "tvos-icon");

    // The moved frame is the user's; the others got defaults before anything was planned.
    EXPECT_EQ(inputs[1]->tvOSAppIconlayerFrame(), middleFrame);
    ASSERT_TRUE(inputs[2]->tvOSAppIconlayerFrame());
    EXPECT_TRUE(inputs[2]->tvOSAppIconlayerFrame()->isLocked());
    for (const auto& input : inputs) EXPECT_FALSE(input->tvOSLeaderboardLayerFrame());
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.isAlphaChannelRemoved, image.imageInput == inputs.back()) << image.outputDirectory.path();
    }
}

TEST_F(TvOSIconBuilder, OnlyTheStacksAreAssetsAndTheyArePromptedForFirst) {
    gw::FolderDefinitionBuildertvOSIcon builder({layeredPictures(), gw::CollectionType::variants}, output_, factory_);
    using K = gw::WritingIntentKind;
    std::vector<std::pair<std::string, K>> made;
    for (const auto& request : factory_->requests()) made.emplace_back(request.url.lastPathComponent(), request.kind);
    EXPECT_EQ(made, (std::vector<std::pair<std::string, K>>{{"Assets.xcassets", K::catalog},
                                                            {"App Icon & Top Shelf Image.brandassets", K::append},
                                                            {"App Icon - App Store.imagestack", K::asset},
                                                            {"App Icon.imagestack", K::asset},
                                                            {"Top Shelf Image.imageset", K::append},
                                                            {"Top Shelf Image Wide.imageset", K::append}}));
}

TEST_F(TvOSIconBuilder, NeedsTwoPictures) {
    auto one = std::vector{gwtest::loadPng(dir_.path(), "Only", 800, 480)};
    try {
        gw::FolderDefinitionBuildertvOSIcon({one, gw::CollectionType::variants}, output_, factory_);
        FAIL() << "made with one picture";
    } catch (const FactoryError& error) {
        EXPECT_EQ(error.errorCase(), FactoryError::Case::minimumImageCountNotMet);
    }
    EXPECT_TRUE(factory_->requests().empty());
    EXPECT_FALSE(one[0]->tvOSAppIconlayerFrame());

    auto two = layeredPictures();
    two.erase(two.begin());
    gw::FolderDefinitionBuildertvOSIcon builder({two, gw::CollectionType::variants}, output_, factory_);
    const auto catalog = builder.build();
    const auto& small = catalog.subfolderDefinitions.at(0).subfolderDefinitions.at(1);
    EXPECT_EQ(small.outputDirectory.lastPathComponent(), "App Icon.imagestack");
    EXPECT_EQ(small.subfolderDefinitions.size(), 2u);
}

TEST_F(TvOSIconBuilder, ACancelledStackPromptEndsTheInitializer) {
    factory_->setAnswer(gw::WritingIntentKind::asset, {.cancel = true});
    EXPECT_THROW(gw::FolderDefinitionBuildertvOSIcon({layeredPictures(), gw::CollectionType::variants}, output_, factory_),
                 gw::FileWritingIntentError);
}

}  // namespace
