#include "app/definitions/contents_preserving_builder.hpp"

#include "catalog_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using pf::Value;

gw::ConfigFile::ConfigFolderDefinition manifestFolder(std::optional<pf::Dictionary> metaData) {
    gw::ConfigFile::ConfigFolderDefinition folder;
    folder.fileName = "Top Shelf Image.imageset";
    folder.metaData = std::move(metaData);
    folder.imageDefinitions = {{"top.png", {{"idiom", Value("tv")}, {"scale", Value("1x")}}, {1920, 720}},
                               {"top@2x.png", {{"idiom", Value("tv")}, {"scale", Value("2x")}}, {3840, 1440}}};
    return folder;
}

class ContentsPreserving : public ::testing::Test {
protected:
    gwtest::TempDir dir_;
    pf::URL folder_ = pf::URL::fileURL(dir_.path(), true);
    gw::ContentsPreservingBuilder builder_{folder_, manifestFolder(pf::Dictionary{{"role", Value("top-shelf-image")}})};
    const Value freshList_ = Value::dict({{"images", Value::array({Value::dict({{"idiom", "tv"}, {"scale", "1x"}}),
                                                                   Value::dict({{"idiom", "tv"}, {"scale", "2x"}})})},
                                          {"info", Value(gw::contentsInfoBlock())["info"]}});
};

TEST_F(ContentsPreserving, AnUntouchedFolderKeepsItsFileAsItIs) {
    const std::string existing =
        R"({"images": [{"idiom": "tv", "filename": "a.png"}, {"idiom": "tv", "filename": "b.png"}]})";
    gwtest::writeFile(dir_ / "Contents.json", existing);
    const auto definition = builder_.folderDefinition();
    EXPECT_EQ(Value(definition.contentsDictionary), pf::json::parse(existing));  // no info block added
    EXPECT_TRUE(definition.imageDefinitions.empty());
    gwtest::writeFile(dir_ / "Contents.json", "{}");
    EXPECT_EQ(Value(builder_.contentsDictionary()), Value(pf::Dictionary{}));
}

TEST_F(ContentsPreserving, WithoutAUsableFileTheManifestSlotsAreListed) {
    EXPECT_EQ(Value(builder_.contentsDictionary()), freshList_);
    for (const char* text : {"[1]", "42", "{broken"}) {
        gwtest::writeFile(dir_ / "Contents.json", text);
        EXPECT_EQ(Value(builder_.contentsDictionary()), freshList_) << text;
    }
    EXPECT_EQ(builder_.metaData(), (pf::Dictionary{{"role", Value("top-shelf-image")}}));
    EXPECT_EQ(gw::ContentsPreservingBuilder(folder_, manifestFolder(std::nullopt)).metaData(), pf::Dictionary{});
}

TEST_F(ContentsPreserving, NewPicturesReplaceTheExistingList) {
    gwtest::writeFile(dir_ / "Contents.json", R"({"images": [{"idiom": "tv", "filename": "old.png"}]})");
    auto picture = gwtest::loadPng(dir_.path(), "Shelf", 40, 15);
    builder_.configureImageDefinitionBuilders({{picture}, gw::CollectionType::single}, {}, folder_);
    const auto definition = builder_.folderDefinition();
    const Value contents(definition.contentsDictionary);
    const auto& list = *contents["images"].asArray();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], Value::dict({{"filename", "top@2x.png"}, {"idiom", "tv"}, {"scale", "2x"}}));
    ASSERT_EQ(definition.imageDefinitions.size(), 2u);
    EXPECT_EQ(definition.imageDefinitions[1].size, (platform::graphics::Size{3840, 1440}));
}

TEST(EmptyFolder, HoldsOnlyPropertiesAndTheFoldersOfItsChildren) {
    gw::EmptyFolderBuilder builder(pf::URL::fileURL("/tmp/gw-empty/Layer.imagestacklayer", true));
    EXPECT_EQ(Value(builder.contentsDictionary()),
              Value::dict({{"properties", Value(pf::Dictionary{})}, {"info", Value(gw::contentsInfoBlock())["info"]}}));
    builder.properties = {{"frame-size", Value::dict({{"width", 400}})}};
    gw::FolderDefinition sub{builder.outputDirectory.appendingPathComponent("Content.imageset", true), {}, {}, {}};
    gw::ImageDefinition image;
    image.outputDirectory = builder.outputDirectory.appendingPathComponent("a.png", false);
    builder.subMetaDataDefinitionPairs = {
        std::make_shared<gw::MetaDataDefinitionPair>(pf::Dictionary{{"x", Value(1)}}, image),
        std::make_shared<gw::MetaDataDefinitionPair>(pf::Dictionary{}),
        std::make_shared<gw::MetaDataDefinitionPair>(pf::Dictionary{}, sub)};
    const auto definition = builder.folderDefinition();
    EXPECT_EQ(Value(definition.contentsDictionary)["properties"],
              Value::dict({{"frame-size", Value::dict({{"width", 400}})}}));
    EXPECT_FALSE(definition.contentsDictionary.contains("images"));
    EXPECT_TRUE(definition.imageDefinitions.empty());
    ASSERT_EQ(definition.subfolderDefinitions.size(), 1u);
    EXPECT_EQ(definition.subfolderDefinitions[0].outputDirectory, sub.outputDirectory);
}

}  // namespace
