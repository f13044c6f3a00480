#include "app/definitions/folder_definition.hpp"

#include "definitions_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using pf::Value;

gw::ImageDefinition imageAt(const pf::URL& folder, const std::string& name, const gw::ImageInputPtr& picture) {
    gw::ImageDefinition image;
    image.imageInput = picture;
    image.outputDirectory = folder.appendingPathComponent(name);
    image.size = {10, 10};
    return image;
}

TEST(FolderDefinitionMerging, ConcatenatesListsAndKeepsTheReceiversScalars) {
    const auto folder = pf::URL::fileURL("/tmp/out/AppIcon.appiconset", true);
    auto picture = gwtest::pictureOfSize(4, 4);
    gw::FolderDefinition a{folder,
                           {{"images", Value::array({Value::dict({{"filename", "a.png"}})})},
                            {"kind", "first"},
                            {"properties", Value::dict({{"x", 1}})}},
                           {imageAt(folder, "a.png", picture)},
                           {gw::FolderDefinition{folder.appendingPathComponent("A", true), {}, {}, {}}}};
    gw::deepMerge(a.contentsDictionary, gw::contentsInfoBlock());
    gw::FolderDefinition b{folder,
                           {{"images", Value::array({Value::dict({{"filename", "b.png"}})})},
                            {"kind", "second"},
                            {"info", Value::dict({{"author", "someone"}, {"extra", true}})},
                            {"properties", Value::dict({{"x", 2}, {"y", 3}})},
                            {"onlyB", 7}},
                           {imageAt(folder, "b.png", picture)},
                           {gw::FolderDefinition{folder.appendingPathComponent("B", true), {}, {}, {}}}};

    const auto merged = a.merging(b);
    EXPECT_EQ(merged.outputDirectory, folder);
    EXPECT_EQ(Value(merged.contentsDictionary)["images"],
              Value::array({Value::dict({{"filename", "a.png"}}), Value::dict({{"filename", "b.png"}})}));
    EXPECT_EQ(Value(merged.contentsDictionary)["kind"], Value("first"));
    EXPECT_EQ(Value(merged.contentsDictionary)["info"],
              Value::dict({{"version", 1}, {"author", "xcode"}, {"extra", true}}));
    EXPECT_EQ(Value(merged.contentsDictionary)["properties"], Value::dict({{"x", 1}, {"y", 3}}));
    EXPECT_EQ(Value(merged.contentsDictionary)["onlyB"], Value(7));
    ASSERT_EQ(merged.imageDefinitions.size(), 2u);
    EXPECT_EQ(merged.imageDefinitions[0].outputDirectory.lastPathComponent(), "a.png");
    EXPECT_EQ(merged.imageDefinitions[1].outputDirectory.lastPathComponent(), "b.png");
    ASSERT_EQ(merged.subfolderDefinitions.size(), 2u);
    EXPECT_EQ(merged.subfolderDefinitions[1].outputDirectory.lastPathComponent(), "B");
}

TEST(FolderDefinitionMergingDeathTest, DifferentFoldersStopTheProcess) {
    gw::FolderDefinition a{pf::URL::fileURL("/tmp/one", true), {}, {}, {}};
    gw::FolderDefinition b{pf::URL::fileURL("/tmp/two", true), {}, {}, {}};
    EXPECT_DEATH((void)a.merging(b), "Incompatible merge. The definitions want to be in different output directories");
}

TEST(DeepMerge, ArgumentWinsAtTopLevelAndPrecedenceAlternatesBelow) {
    pf::Dictionary d{{"images", Value::array({"x"})}};
    gw::deepMerge(d, gw::contentsInfoBlock());
    EXPECT_EQ(Value(d), Value::dict({{"images", Value::array({"x"})},
                                     {"info", Value::dict({{"version", 1}, {"author", "xcode"}})}}));
    EXPECT_TRUE(Value(d)["info"]["version"].isInteger());

    // Lists are replaced, never concatenated.
    gw::deepMerge(d, {{"images", Value::array({"y"})}});
    EXPECT_EQ(Value(d)["images"], Value::array({"y"}));

    // One level down the receiver's old values win; new keys are added.
    pf::Dictionary withProperties{{"properties", Value::dict({{"first", 1}})}};
    gw::deepMerge(withProperties, {{"properties", Value::dict({{"first", 2}, {"second", 3}})}});
    EXPECT_EQ(Value(withProperties)["properties"], Value::dict({{"first", 1}, {"second", 3}}));

    // Two levels down the argument wins again.
    pf::Dictionary nested{{"a", Value::dict({{"b", Value::dict({{"c", 1}})}})}};
    gw::deepMerge(nested, {{"a", Value::dict({{"b", Value::dict({{"c", 2}, {"d", 4}})}})}});
    EXPECT_EQ(Value(nested)["a"]["b"], Value::dict({{"c", 2}, {"d", 4}}));

    // A dictionary replaces a scalar and a scalar a dictionary.
    pf::Dictionary mixed{{"k", 1}, {"m", Value::dict({{"z", 1}})}};
    gw::deepMerge(mixed, {{"k", Value::dict({{"q", 1}})}, {"m", "text"}});
    EXPECT_EQ(Value(mixed), Value::dict({{"k", Value::dict({{"q", 1}})}, {"m", "text"}}));
}

TEST(Definition, ReportsTheFileOrFolderItIsWrittenTo) {
    const auto folder = pf::URL::fileURL("/tmp/out/Set.imageset", true);
    gw::Definition image = imageAt(folder, "icon@2x.png", gwtest::pictureOfSize(2, 2));
    gw::Definition subfolder = gw::FolderDefinition{folder, {}, {}, {}};
    EXPECT_EQ(gw::outputDirectory(image).path(), "/tmp/out/Set.imageset/icon@2x.png");
    EXPECT_EQ(gw::outputDirectory(subfolder), folder);
}

}  // namespace
