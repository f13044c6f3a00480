#include "app/definitions/appending_image_folder_builder.hpp"

#include "catalog_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using gw::AppendingImageFolderBuilder;
using pf::Value;

using gwtest::child;

pf::Dictionary entry(const std::string& idiom, const std::string& file) {
    return {{"idiom", Value(idiom)}, {"filename", Value(file)}};
}

gw::ImageDefinition image(const pf::URL& folder, const std::string& file) {
    gw::ImageDefinition definition;
    definition.outputDirectory = folder.appendingPathComponent(file, false);
    definition.size = {10, 10};
    return definition;
}

class AppendingImageFolder : public ::testing::Test {
protected:
    void writeExisting(const std::string& json) { gwtest::writeFile(dir_ / "Contents.json", json); }

    gw::FolderDefinition append(gw::MetaDataAndDefinitionProviders children) {
        return AppendingImageFolderBuilder(folder_, std::move(children)).folderDefinition();
    }

    static Value images(const gw::FolderDefinition& definition) {
        return Value(definition.contentsDictionary)["images"];
    }

    gwtest::TempDir dir_;
    pf::URL folder_ = pf::URL::fileURL(dir_.path(), true);
};

TEST_F(AppendingImageFolder, NewIdiomsReplaceTheirOldEntriesAndOtherIdiomsStay) {
    writeExisting(R"({"images": [{"idiom": "iphone", "scale": "1x", "filename": "old-1.png"},
                                  {"idiom": "ipad", "filename": "pad.png"},
                                  {"idiom": "iphone", "scale": "3x", "filename": "old-3.png"}],
                      "info": {"version": 9, "author": "someone"}})");
    const auto definition = append({child(entry("iphone", "new.png"), image(folder_, "new.png"))});
    EXPECT_EQ(images(definition), Value::array({Value(entry("iphone", "new.png")), Value(entry("ipad", "pad.png"))}));
    EXPECT_EQ(Value(definition.contentsDictionary)["info"], Value(gw::contentsInfoBlock())["info"]);
    ASSERT_EQ(definition.imageDefinitions.size(), 1u);
    EXPECT_TRUE(definition.subfolderDefinitions.empty());
}

TEST_F(AppendingImageFolder, WithoutAUsableFileOnlyTheNewEntriesAreListed) {
    const Value onlyNew = Value::array({Value(entry("iphone", "new.png"))});
    EXPECT_EQ(images(append({child(entry("iphone", "new.png"))})), onlyNew);  // no file at all
    for (const char* text : {"{}", "[1, 2]", "\"text\"", "not json", R"({"images": {"idiom": "ipad"}})"}) {
        SCOPED_TRACE(text);
        writeExisting(text);
        EXPECT_EQ(images(append({child(entry("iphone", "new.png"))})), onlyNew);
    }
}

// What this conversion was not asked to replace stays: the set's properties, entries
// it cannot match to an idiom, and the good entries beside a broken one.
TEST_F(AppendingImageFolder, KeepsWhatItWasNotAskedToReplace) {
    writeExisting(R"({"images": [{"filename": "no-idiom.png"}, 7, {"idiom": 3}, {"idiom": "mac", "filename": "m.png"}],
                      "properties": {"template-rendering-intent": "template"}})");
    const auto definition = append({child(entry("iphone", "new.png"))});
    EXPECT_EQ(images(definition),
              Value::array({Value(entry("iphone", "new.png")), Value::dict({{"filename", "no-idiom.png"}}),
                            Value::dict({{"idiom", 3}}), Value(entry("mac", "m.png"))}));
    EXPECT_EQ(Value(definition.contentsDictionary)["properties"],
              Value::dict({{"template-rendering-intent", "template"}}));
}

TEST_F(AppendingImageFolder, ChildrenWithoutAPictureAreListedButNotPlanned) {
    writeExisting(R"({"images": [{"idiom": "tv", "filename": "tv.png"}]})");
    // New entries without an idiom take nothing away; no children keep the old list.
    EXPECT_EQ(images(append({child({{"scale", Value("2x")}})})),
              Value::array({Value::dict({{"scale", "2x"}}), Value(entry("tv", "tv.png"))}));
    const auto untouched = append({});
    EXPECT_EQ(images(untouched), Value::array({Value(entry("tv", "tv.png"))}));
    EXPECT_TRUE(untouched.imageDefinitions.empty());
    gw::FolderDefinition folder{folder_.appendingPathComponent("sub", true), {}, {}, {}};
    EXPECT_TRUE(append({child(entry("ipad", "x"), folder)}).imageDefinitions.empty());
}

TEST_F(AppendingImageFolder, AFileNamedTwiceIsPlannedOnce) {
    auto first = image(folder_, "same.png");
    first.zoom = 0.5f;
    const auto definition =
        append({child(entry("watch", "same.png"), first), child(entry("watch", "same.png"), image(folder_, "same.png")),
                child(entry("watch", "other.png"), image(folder_, "other.png"))});
    EXPECT_EQ(images(definition).size(), 3u);
    ASSERT_EQ(definition.imageDefinitions.size(), 2u);
    EXPECT_EQ(definition.imageDefinitions[0].zoom, 0.5f);
    EXPECT_EQ(definition.imageDefinitions[1].outputDirectory.lastPathComponent(), "other.png");
}

}  // namespace
