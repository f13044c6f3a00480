#include "app/definitions/image_stack_folders.hpp"

#include "app/foundation/layer_frame.hpp"
#include "catalog_test_support.hpp"
#include "definitions_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using pf::Value;
using gw::LayerCanvas;

const pf::URL kStack = pf::URL::fileURL("/tmp/gw-out/Icon.imagestack", true);

gw::ImageInputPtr framedPicture(const std::string& name, gw::LayerFrame frame) {
    auto picture = gwtest::pictureOfSize(10, 10, name);
    picture->setTvOSAppIconlayerFrame(std::make_shared<gw::LayerFrame>(frame));
    return picture;
}

class ImageStack : public ::testing::Test {
protected:

    // The layer at `index`: its folder, and that folder's only subfolder, the image set.
    const gw::FolderDefinition& layer(std::size_t index) {
        definition_ = stack_.folderDefinition();
        return definition_.subfolderDefinitions.at(index);
    }

    void add(const gw::ImageInputPtr& picture, double scale, bool isBackLayer, bool hasRetinaPicture) {
        gw::addLayer(stack_, picture,
                     {.canvas = LayerCanvas::appIcon,
                      .scale = scale,
                      .isBackLayer = isBackLayer,
                      .hasRetinaPicture = hasRetinaPicture,
                      .sourceFile = "ImageStackTest"},
                     collection_, *factory_);
    }

    gw::LayersFolderBuilder stack_{kStack};
    gw::FolderDefinition definition_;
    gw::ImageInputCollection collection_{{gwtest::pictureOfSize(4, 4, "First")}, gw::CollectionType::variants};
    std::shared_ptr<gwtest::AlwaysAllowTestFactory> factory_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
};

TEST_F(ImageStack, ALayerPlacesItsScaledFrameAndPlansItsPictures) {
    gw::LayerFrame frame({200.3, 100}, {400, 240});
    frame.setCenterX(100.2);
    auto picture = framedPicture("Front", frame);
    add(picture, 3.2, false, true);

    const auto& folder = layer(0);
    EXPECT_EQ(folder.outputDirectory.path(), "/tmp/gw-out/Icon.imagestack/Front.imagestacklayer");
    // 200.3 x 3.2 = 640.96 and 100.2 x 3.2 = 320.64 come to the nearest half point.
    EXPECT_EQ(Value(folder.contentsDictionary)["properties"],
              Value::dict({{"frame-size", Value::dict({{"width", 641.0}, {"height", 320.0}})},
                           {"frame-center", Value::dict({{"x", 320.5}, {"y", 384.0}})}}));
    EXPECT_TRUE(folder.imageDefinitions.empty());
    ASSERT_EQ(folder.subfolderDefinitions.size(), 1u);

    const auto& imageSet = folder.subfolderDefinitions[0];
    EXPECT_EQ(imageSet.outputDirectory.lastPathComponent(), "Content.imageset");
    EXPECT_EQ(Value(imageSet.contentsDictionary)["images"],
              Value::array({Value::dict({{"idiom", "tv"}, {"scale", "1x"}, {"filename", "Front.png"}}),
                            Value::dict({{"idiom", "tv"}, {"scale", "2x"}, {"filename", "Front@2x.png"}})}));
    ASSERT_EQ(imageSet.imageDefinitions.size(), 2u);
    const auto& retina = imageSet.imageDefinitions[1];
    EXPECT_EQ(retina.outputDirectory.path(), imageSet.outputDirectory.path() + "/Front@2x.png");
    EXPECT_EQ(retina.size, (platform::graphics::Size{1282, 640}));
    EXPECT_EQ(retina.imageInput, picture);
    EXPECT_EQ(retina.scaleType, gw::ScaleType::stretch);
    EXPECT_EQ(retina.backgroundColour, platform::graphics::Color::clear());
    EXPECT_FALSE(retina.isAlphaChannelRemoved);

    // The stack lists the layer by its folder name alone.
    EXPECT_EQ(Value(stack_.contentsDictionary())["layers"],
              Value::array({Value::dict({{"filename", "Front.imagestacklayer"}})}));
}

TEST_F(ImageStack, LayersResolveOverwriteIntentsForTheirFolders) {
    add(framedPicture("Front", gw::LayerFrame({10, 10}, {400, 240})), 1.0, false, true);
    const auto requests = factory_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].url.lastPathComponent(), "Front.imagestacklayer");
    EXPECT_EQ(requests[1].url.path(), "/tmp/gw-out/Icon.imagestack/Front.imagestacklayer/Content.imageset");
    for (const auto& request : requests) {
        EXPECT_EQ(request.kind, gw::WritingIntentKind::overwrite);
        ASSERT_EQ(request.options.size(), 1u);
        EXPECT_EQ(request.options[0].imageInputValue(), collection_.imageInputs[0]);
    }
}

TEST_F(ImageStack, PicturesOfTheSameNameGetLayerFoldersOfTheirOwn) {
    for (int i = 0; i < 3; ++i) add(framedPicture("Image", gw::LayerFrame({10, 10}, {400, 240})), 1.0, i == 2, true);
    EXPECT_EQ(Value(stack_.contentsDictionary())["layers"],
              Value::array({Value::dict({{"filename", "Image.imagestacklayer"}}),
                            Value::dict({{"filename", "Image 2.imagestacklayer"}}),
                            Value::dict({{"filename", "Image 3.imagestacklayer"}})}));
    EXPECT_EQ(layer(1).outputDirectory.lastPathComponent(), "Image 2.imagestacklayer");
}

TEST_F(ImageStack, APreservingStackWithoutNewLayersKeepsItsExistingFile) {
    gwtest::TempDir dir;
    stack_.outputDirectory = pf::URL::fileURL(dir.path(), true);
    stack_.preservesExistingContents = true;
    const std::string existing = R"({"layers": [{"filename": "Back.imagestacklayer"}], "info": {"version": 1}})";
    gwtest::writeFile(dir / "Contents.json", existing);
    EXPECT_EQ(Value(stack_.contentsDictionary()), pf::json::parse(existing));

    // Layers added in this conversion replace the list.
    add(framedPicture("Front", gw::LayerFrame({10, 10}, {400, 240})), 1.0, true, true);
    EXPECT_EQ(Value(stack_.contentsDictionary())["layers"],
              Value::array({Value::dict({{"filename", "Front.imagestacklayer"}})}));
}

TEST_F(ImageStack, APictureWithoutItsFrameStopsTheProcess) {
    auto picture = gwtest::pictureOfSize(10, 10, "Loose");
    EXPECT_DEATH(add(picture, 1.0, false, true), "Missing components");
}

}  // namespace
