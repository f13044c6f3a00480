#include "app/definitions/leaderboard_builder.hpp"

#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/foundation/layer_frame.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

namespace pf = platform::foundation;
using pf::Value;
using platform::graphics::Size;

std::vector<gw::ImageInputPtr> pictures(std::initializer_list<std::pair<int, int>> sizes) {
    std::vector<gw::ImageInputPtr> result;
    for (auto [width, height] : sizes) result.push_back(gwtest::pictureOfSize(width, height, "Layer"));
    return result;
}

void expectFrame(const std::shared_ptr<gw::LayerFrame>& frame, Size size, Size centre, bool isLocked) {
    ASSERT_TRUE(frame);
    EXPECT_DOUBLE_EQ(frame->width(), size.width);
    EXPECT_DOUBLE_EQ(frame->height(), size.height);
    EXPECT_DOUBLE_EQ(frame->centerX(), centre.width);
    EXPECT_DOUBLE_EQ(frame->centerY(), centre.height);
    EXPECT_EQ(frame->isLocked(), isLocked);
}

TEST(DefaultLayerFrames, SizeEveryPictureWithTheBackPicturesScaleAndFitTheCanvas) {
    // The back picture is 1318 pixels wide: half a leaderboard point per pixel.
    auto inputs = pictures({{400, 300}, {2000, 500}, {500, 1000}, {1318, 742}});
    gw::makeDefaultLayerFrames(true, inputs);

    expectFrame(inputs[3]->tvOSLeaderboardLayerFrame(), {659, 371}, {329.5, 185.5}, true);
    expectFrame(inputs[0]->tvOSLeaderboardLayerFrame(), {200, 150}, {329.5, 185.5}, false);
    expectFrame(inputs[1]->tvOSLeaderboardLayerFrame(), {659, 164.75}, {329.5, 185.5}, false);
    expectFrame(inputs[2]->tvOSLeaderboardLayerFrame(), {185.5, 371}, {329.5, 185.5}, false);
    EXPECT_TRUE(inputs[0]->tvOSLeaderboardLayerFrame()->isAspectRatioLocked());
    // The other canvas is left alone.
    for (const auto& input : inputs) EXPECT_FALSE(input->tvOSAppIconlayerFrame());
    EXPECT_TRUE(gw::layerFramesFillCanvas(true, inputs));
    EXPECT_FALSE(gw::layerFramesFillCanvas(false, inputs));
}

TEST(DefaultLayerFrames, KeepMovableFramesAndReplaceLockedOnes) {
    auto inputs = pictures({{100, 100}, {100, 100}, {800, 480}});
    // Partly outside the canvas: still the user's frame.
    auto moved = std::make_shared<gw::LayerFrame>(Size{300, 300}, Size{400, 240});
    moved->setCenterX(390);
    inputs[0]->setTvOSAppIconlayerFrame(moved);
    inputs[1]->setTvOSAppIconlayerFrame(std::make_shared<gw::LayerFrame>(Size{400, 240}));
    inputs[2]->setTvOSAppIconlayerFrame(std::make_shared<gw::LayerFrame>(Size{10, 10}, Size{400, 240}));

    gw::makeDefaultLayerFrames(false, inputs);
    EXPECT_EQ(inputs[0]->tvOSAppIconlayerFrame(), moved);
    expectFrame(inputs[1]->tvOSAppIconlayerFrame(), {50, 50}, {200, 120}, false);
    expectFrame(inputs[2]->tvOSAppIconlayerFrame(), {400, 240}, {200, 120}, true);
    for (const auto& input : inputs) EXPECT_FALSE(input->tvOSLeaderboardLayerFrame());
}

TEST(DefaultLayerFrames, ABackPictureWithoutPixelsGivesFiniteFrames) {
    auto inputs = pictures({{100, 50}});
    inputs.push_back(gw::ImageInput::make());  // an empty image
    gw::makeDefaultLayerFrames(false, inputs);
    expectFrame(inputs[0]->tvOSAppIconlayerFrame(), {100, 50}, {200, 120}, false);
    gw::makeDefaultLayerFrames(false, {});  // nothing to do
}

TEST(LayerFramesFillCanvas, NeedsALockedFullCanvasBackAndMovableFrontLayers) {
    auto inputs = pictures({{10, 10}, {10, 10}});
    EXPECT_FALSE(gw::layerFramesFillCanvas(true, {}));
    EXPECT_FALSE(gw::layerFramesFillCanvas(true, inputs));

    auto front = std::make_shared<gw::LayerFrame>(Size{10, 10}, Size{659, 371});
    inputs[0]->setTvOSLeaderboardLayerFrame(front);
    inputs[1]->setTvOSLeaderboardLayerFrame(std::make_shared<gw::LayerFrame>(Size{659, 371}));
    EXPECT_TRUE(gw::layerFramesFillCanvas(true, inputs));

    inputs[1]->setTvOSLeaderboardLayerFrame(std::make_shared<gw::LayerFrame>(Size{659, 370}));
    EXPECT_FALSE(gw::layerFramesFillCanvas(true, inputs));
    inputs[1]->setTvOSLeaderboardLayerFrame(std::make_shared<gw::LayerFrame>(Size{659, 371}, Size{659, 371}));
    EXPECT_FALSE(gw::layerFramesFillCanvas(true, inputs));  // full size but movable
    inputs[1]->setTvOSLeaderboardLayerFrame(std::make_shared<gw::LayerFrame>(Size{659, 371}));
    inputs[0]->setTvOSLeaderboardLayerFrame(std::make_shared<gw::LayerFrame>(Size{659, 371}));
    EXPECT_FALSE(gw::layerFramesFillCanvas(true, inputs));  // a locked front layer
}

TEST(LeaderboardIdentifier, IsTheFolderNameUpToItsFirstDot) {
    EXPECT_EQ(gw::leaderboardIdentifier("Scores.gcleaderboard"), "Scores");
    EXPECT_EQ(gw::leaderboardIdentifier("a.b.c"), "a");
    EXPECT_EQ(gw::leaderboardIdentifier("Scores"), "Scores");
}

class LeaderboardBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    // Front to back: a logo, a banner wider than the canvas, the full poster.
    std::vector<gw::ImageInputPtr> layeredPictures() {
        return {gwtest::loadPng(dir_.path(), "Logo", 400, 300), gwtest::loadPng(dir_.path(), "Banner", 2000, 500),
                gwtest::loadPng(dir_.path(), "Poster", 1318, 742)};
    }

    gwtest::TempDir dir_;
    pf::URL output_ = pf::URL::fileURL(dir_ / "out", true);
    std::shared_ptr<gwtest::StoredAnswerTestFactory> factory_ = std::make_shared<gwtest::StoredAnswerTestFactory>();
};

TEST_F(LeaderboardBuilder, PlansTheGoldenLeaderboardFromThreeLayers) {
    auto inputs = layeredPictures();
    gw::FolderDefinitionBuildertvOSLeaderboard builder({inputs, gw::CollectionType::variants}, output_, factory_);
    const auto catalog = builder.build();
    gwtest::expectMatchesGolden(catalog, "leaderboard");

    // Only the back layer loses its alpha channel.
    for (const auto& image : gwtest::allImages(catalog)) {
        EXPECT_EQ(image.isAlphaChannelRemoved, image.imageInput == inputs.back()) << image.outputDirectory.path();
    }
    // The default frames stay with the pictures, for the layer editor.
    expectFrame(inputs[1]->tvOSLeaderboardLayerFrame(), {659, 164.75}, {329.5, 185.5}, false);

    std::vector<gw::WritingIntentKind> kinds;
    for (const auto& request : factory_->requests()) kinds.push_back(request.kind);
    using K = gw::WritingIntentKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::catalog, K::append, K::asset, K::asset, K::overwrite, K::overwrite,
                                     K::overwrite, K::overwrite, K::overwrite, K::overwrite}));
}

TEST_F(LeaderboardBuilder, TheIdentifierFollowsTheFolderTheUserChose) {
    gwtest::StoredAnswerTestFactory::Answer answer;
    answer.redirect = pf::URL::fileURL(dir_ / "Scores 2.gcleaderboard", true);
    factory_->setAnswer(gw::WritingIntentKind::asset, answer);
    gw::FolderDefinitionBuildertvOSLeaderboard builder({layeredPictures(), gw::CollectionType::variants}, output_,
                                                       factory_);
    const auto catalog = builder.build();
    const auto& leaderboard = catalog.subfolderDefinitions.at(0).subfolderDefinitions.at(0);
    EXPECT_EQ(Value(leaderboard.contentsDictionary)["properties"], Value::dict({{"identifier", "Scores 2"}}));
}

// The dashboard shares the Game Center group: a leaderboard written beside it keeps what
// the group's file already says instead of emptying it.
TEST_F(LeaderboardBuilder, KeepsTheExistingGroupSettings) {
    const auto group = dir_.path() / "out" / "Assets.xcassets" / "Game Center";
    std::filesystem::create_directories(group);
    gwtest::writeFile(group / "Contents.json",
                      R"({"info": {"version": 1, "author": "someone"}, "properties": {"provides-namespace": true}})");
    gw::FolderDefinitionBuildertvOSLeaderboard builder({layeredPictures(), gw::CollectionType::variants}, output_,
                                                       factory_);
    const auto catalog = builder.build();
    EXPECT_EQ(Value(catalog.subfolderDefinitions.at(0).contentsDictionary)["properties"],
              Value::dict({{"provides-namespace", true}}));
}

TEST_F(LeaderboardBuilder, ACancelledPromptEndsTheBuildAndGivesNoWarnings) {
    factory_->setAnswer(gw::WritingIntentKind::asset, {.cancel = true});
    gw::FolderDefinitionBuildertvOSLeaderboard builder({layeredPictures(), gw::CollectionType::variants}, output_,
                                                       factory_);
    EXPECT_THROW(builder.build(), gw::FileWritingIntentError);
    EXPECT_TRUE(builder.validate().empty());
}

TEST_F(LeaderboardBuilder, DefaultFramesAreMadeOnTheMainThreadWhileABuilderRunsElsewhere) {
    auto inputs = layeredPictures();
    std::atomic<int> changesOffMain{0};
    std::atomic<int> changes{0};
    for (const auto& input : inputs) {
        input->addObserver("tvOSLeaderboardLayerFrame", [&](const auto&) {
            ++changes;
            if (!platform::dispatch::MainLoop::isMainThread()) ++changesOffMain;
        });
    }
    std::atomic<bool> done{false};
    std::thread worker([&] {
        gw::FolderDefinitionBuildertvOSLeaderboard builder({inputs, gw::CollectionType::variants}, output_, factory_);
        builder.build();
        done = true;
    });
    EXPECT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return done.load(); }, std::chrono::seconds(20)));
    worker.join();
    EXPECT_EQ(changes.load(), 3);
    EXPECT_EQ(changesOffMain.load(), 0);
}

}  // namespace
