// The shipped manifest against the hand-checked requirements and size tables in
// tests/fixtures/manifest/requirements.json.
#include "app/definitions/config_file.hpp"

#include "definitions_support.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/plist.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <cstdio>
#include <set>

namespace {

namespace pf = platform::foundation;
using gw::ConfigFile;
using Folder = ConfigFile::ConfigFolderDefinition;
using nlohmann::json;

json requirements() {
    std::ifstream in(std::string(GW_FIXTURES_DIR) + "/manifest/requirements.json");
    return json::parse(in);
}

class ShippedManifest : public ::testing::Test {
protected:
    void SetUp() override {
        gwtest::resetDefinitionsState();
        req_ = requirements();
        root_ = pf::plist::readFile(std::string(GW_SOURCE_DIR) + "/" + req_["manifest"].get<std::string>());
        ASSERT_TRUE(root_.isDictionary());
        config_ = std::make_unique<ConfigFile>(*root_.asDictionary());
    }

    Folder entry(const std::string& key) const {
        for (auto type : ConfigFile::allAssetManifestTypes()) {
            if (ConfigFile::manifestKey(type) == key) return config_->assetManifest(type);
        }
        ADD_FAILURE() << "no manifest type " << key;
        return {};
    }

    json req_;
    pf::Value root_;
    std::unique_ptr<ConfigFile> config_;
};

json optionalDictionary(const std::optional<pf::Dictionary>& dictionary) {
    return dictionary ? pf::json::toJson(pf::Value(*dictionary)) : json(nullptr);
}

json shape(const Folder& folder) {
    json images = json::array();
    for (const auto& image : folder.imageDefinitions) {
        images.push_back({{"filename", image.fileName},
                          {"width", image.size.width},
                          {"height", image.size.height},
                          {"metaData", pf::json::toJson(pf::Value(image.metaData))}});
    }
    json assets = json::array();
    for (const auto& sub : folder.folderDefinitions) assets.push_back(shape(sub));
    return {{"filename", folder.fileName},
            {"metaData", optionalDictionary(folder.metaData)},
            {"properties", optionalDictionary(folder.properties)},
            {"images", images},
            {"assets", assets}};
}

const Folder* resolve(const Folder& root, const json& path) {
    const Folder* folder = &root;
    for (const auto& step : path) {
        const Folder* next = nullptr;
        if (step.is_number_integer()) {
            const auto index = step.get<std::size_t>();
            if (index < folder->folderDefinitions.size()) next = &folder->folderDefinitions[index];
        } else {
            for (const auto& sub : folder->folderDefinitions) {
                if (sub.fileName == step.get<std::string>()) {
                    next = &sub;
                    break;
                }
            }
        }
        if (!next) return nullptr;
        folder = next;
    }
    return folder;
}

void forEachFolder(const Folder& folder, const std::function<void(const Folder&)>& visit) {
    visit(folder);
    for (const auto& sub : folder.folderDefinitions) forEachFolder(sub, visit);
}

std::string text(const pf::Dictionary& metaData, const std::string& key) {
    auto found = metaData.find(key);
    return found != metaData.end() && found->second.asString() ? *found->second.asString() : std::string();
}

TEST_F(ShippedManifest, HasTheRootKeysAndEveryEntryParses) {
    std::set<std::string> rootKeys;
    for (const auto& [key, value] : *root_.asDictionary()) rootKeys.insert(key);
    EXPECT_EQ(rootKeys, req_["rootKeys"].get<std::set<std::string>>());
    EXPECT_NO_THROW(ConfigFile::validateManifest(root_));
    EXPECT_EQ(root_["assetManifests"].size(), ConfigFile::kAssetManifestTypeCount);
    std::vector<std::string> keys;
    for (auto type : ConfigFile::allAssetManifestTypes()) keys.emplace_back(ConfigFile::manifestKey(type));
    EXPECT_EQ(keys, req_["entryKeys"].get<std::vector<std::string>>());
}

TEST_F(ShippedManifest, EveryEntryIsExactlyTheCheckedTree) {
    for (const auto& [key, value] : req_["entries"].items()) {
        EXPECT_EQ(shape(entry(key)), value["expected"]) << key;
    }
}

TEST_F(ShippedManifest, EveryEntryMeetsWhatItsBuilderRequires) {
    for (const auto& [key, value] : req_["entries"].items()) {
        const auto root = entry(key);
        for (const auto& rule : value["requirements"]) {
            const auto name = rule["rule"].get<std::string>();
            SCOPED_TRACE(key + " " + name + " " + rule["path"].dump());
            const Folder* folder = resolve(root, rule["path"]);
            ASSERT_NE(folder, nullptr);
            if (name == "folderExists") {
                // resolved above
            } else if (name == "folderExtension") {
                EXPECT_TRUE(folder->fileName.ends_with(rule["extension"].get<std::string>())) << folder->fileName;
            } else if (name == "hasImages") {
                EXPECT_FALSE(folder->imageDefinitions.empty());
            } else if (name == "idiomsPresent") {
                std::set<std::string> idioms;
                for (const auto& image : folder->imageDefinitions) idioms.insert(text(image.metaData, "idiom"));
                for (const auto& idiom : rule["idioms"]) EXPECT_TRUE(idioms.contains(idiom.get<std::string>())) << idiom;
            } else if (name == "subfolderNames") {
                std::set<std::string> names;
                for (const auto& sub : folder->folderDefinitions) names.insert(sub.fileName);
                for (const auto& wanted : rule["names"]) EXPECT_TRUE(names.contains(wanted.get<std::string>())) << wanted;
            } else if (name == "subfolderMetaData") {
                for (const auto& sub : folder->folderDefinitions) {
                    ASSERT_TRUE(sub.metaData.has_value()) << sub.fileName;
                    for (const auto& [k, v] : rule["equal"].items()) EXPECT_EQ(text(*sub.metaData, k), v.get<std::string>());
                    for (const auto& k : rule["present"]) EXPECT_TRUE(sub.metaData->contains(k.get<std::string>()));
                }
            } else if (name == "canvasSize") {
                const auto canvas = ConfigFile::canvasSize(folder->properties);
                EXPECT_EQ(canvas.width, rule["width"].get<double>());
                EXPECT_EQ(canvas.height, rule["height"].get<double>());
            } else if (name == "nameStem") {
                EXPECT_EQ(folder->fileName.substr(0, folder->fileName.find('.')), rule["value"].get<std::string>());
            } else {
                ADD_FAILURE() << "unknown rule " << name;
            }
        }
    }
}

TEST_F(ShippedManifest, EveryImageIsConsistentWithItsMetaData) {
    for (const auto& [key, value] : req_["entries"].items()) {
        forEachFolder(entry(key), [&](const Folder& folder) {
            std::set<std::string> names;
            for (const auto& image : folder.imageDefinitions) {
                SCOPED_TRACE(key + "/" + folder.fileName + "/" + image.fileName);
                EXPECT_TRUE(names.insert(image.fileName).second) << "file name twice in one folder";
                EXPECT_FALSE(image.metaData.contains("filename"));
                for (const auto& [k, v] : image.metaData) EXPECT_TRUE(v.isString()) << k;
                EXPECT_GT(image.size.width, 0);
                EXPECT_GT(image.size.height, 0);
                EXPECT_EQ(image.size.width, std::floor(image.size.width));
                EXPECT_EQ(image.size.height, std::floor(image.size.height));

                const auto scale = text(image.metaData, "scale");
                const auto size = text(image.metaData, "size");
                double pointWidth = 0;
                double pointHeight = 0;
                char end = 0;
                if (!scale.empty() && !size.empty()) {
                    // "<w>x<h>" in points, e.g. "83.5x83.5".
                    ASSERT_EQ(std::sscanf(size.c_str(), "%lfx%lf%c", &pointWidth, &pointHeight, &end), 2) << size;
                    const double factor = std::stod(scale);
                    EXPECT_DOUBLE_EQ(pointWidth * factor, image.size.width);
                    EXPECT_DOUBLE_EQ(pointHeight * factor, image.size.height);
                }
                const bool at2x = image.fileName.ends_with("@2x.png");
                const bool at3x = image.fileName.ends_with("@3x.png");
                EXPECT_EQ(at2x, scale == "2x");
                EXPECT_EQ(at3x, scale == "3x");
            }
            if (folder.properties) {
                for (const auto& [k, v] : *folder.properties) {
                    ASSERT_TRUE(v.isDictionary()) << k;
                    for (const auto& [ik, iv] : *v.asDictionary()) EXPECT_TRUE(iv.isInteger()) << ik;
                }
            }
        });
    }
}

TEST_F(ShippedManifest, IconSetsMergedByCatalystShareNoFileName) {
    for (const auto& group : req_["distinctFileNames"]) {
        std::set<std::string> seen;
        for (const auto& key : group) {
            forEachFolder(entry(key.get<std::string>()), [&](const Folder& folder) {
                for (const auto& image : folder.imageDefinitions) {
                    EXPECT_TRUE(seen.insert(image.fileName).second) << key << " repeats " << image.fileName;
                }
            });
        }
    }
}

TEST_F(ShippedManifest, SizePresets) {
    const auto presets = config_->assetPresetSizesArray();
    const auto& expected = req_["presets"]["expected"];
    ASSERT_EQ(presets.size(), expected.size());
    std::set<std::pair<std::int64_t, std::int64_t>> sizes;
    for (std::size_t i = 0; i < presets.size(); ++i) {
        for (const auto& k : req_["presets"]["requiredKeys"]) EXPECT_TRUE(presets[i].contains(k.get<std::string>()));
        EXPECT_EQ(*presets[i]["name"].asString(), expected[i]["name"].get<std::string>());
        EXPECT_EQ(presets[i]["width"].asInteger(), expected[i]["width"].get<std::int64_t>());
        EXPECT_EQ(presets[i]["height"].asInteger(), expected[i]["height"].get<std::int64_t>());
        sizes.insert({presets[i]["width"].integerValue(), presets[i]["height"].integerValue()});
    }
    EXPECT_EQ(sizes.size(), presets.size()) << "two presets share a size";
}

}  // namespace
