#include "app/definitions/config_file.hpp"

#include "app/foundation/user_defaults_key.hpp"
#include "definitions_support.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/log/system_log.hpp"
#include "support/hostile_files.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using gw::ConfigFile;
using pf::Value;
using Code = ConfigFile::ConfigErrorCode;

Code parseFailure(const pf::Dictionary& entry, bool folder) {
    try {
        if (folder) {
            (void)ConfigFile::configFolderDefinition(entry);
        } else {
            (void)ConfigFile::configImageDefinition(entry);
        }
    } catch (const ConfigFile::ConfigError& error) {
        return error.code();
    }
    ADD_FAILURE() << "no error";
    return Code::unexpectedStatusCode;
}

pf::Dictionary image(const std::string& name, Value width, std::optional<Value> height = std::nullopt) {
    pf::Dictionary entry{{"filename", name}, {"metaData", Value::dict({{"idiom", "iphone"}})}, {"width", width}};
    if (height) entry.emplace("height", *height);
    return entry;
}

TEST(ConfigFileParsing, ImageEntries) {
    auto square = ConfigFile::configImageDefinition(image("a.png", 40));
    EXPECT_EQ(square.size.width, 40);
    EXPECT_EQ(square.size.height, 40);
    EXPECT_EQ(square.fileName, "a.png");
    EXPECT_EQ(Value(square.metaData), Value::dict({{"idiom", "iphone"}}));

    auto wide = ConfigFile::configImageDefinition(image("b.png", 2320, Value(720.5)));
    EXPECT_EQ(wide.size.width, 2320);
    EXPECT_EQ(wide.size.height, 720.5);
    // A height that is not a number falls back to the width.
    EXPECT_EQ(ConfigFile::configImageDefinition(image("c.png", 30, Value("tall"))).size.height, 30);
    // Sizes pass through single precision.
    EXPECT_EQ(ConfigFile::configImageDefinition(image("d.png", Value(83.3))).size.width,
              static_cast<double>(83.3f));

    auto noWidth = image("e.png", 1);
    noWidth.erase("width");
    EXPECT_EQ(parseFailure(noWidth, false), Code::unrecognisedDictionaryContents);
    EXPECT_EQ(parseFailure(image("f.png", Value("40")), false), Code::unrecognisedDictionaryContents);
    auto noMeta = image("g.png", 1);
    noMeta["metaData"] = Value("idiom");
    EXPECT_EQ(parseFailure(noMeta, false), Code::unrecognisedDictionaryContents);
    auto noName = image("h.png", 1);
    noName["filename"] = Value(5);
    EXPECT_EQ(parseFailure(noName, false), Code::unrecognisedDictionaryContents);
}

TEST(ConfigFileParsing, FolderEntries) {
    pf::Dictionary folder{
        {"filename", "Top.brandassets"},
        {"metaData", Value::dict({{"idiom", "tv"}})},
        {"properties", "not a dictionary"},
        {"images", Value::array({Value(image("one.png", 10)), Value(image("two.png", 20, Value(10)))})},
        {"assets", Value::array({Value::dict({{"filename", "Inner.imageset"},
                                              {"images", Value(image("single.png", 5))}})})},
    };
    auto parsed = ConfigFile::configFolderDefinition(folder);
    EXPECT_EQ(parsed.fileName, "Top.brandassets");
    ASSERT_TRUE(parsed.metaData.has_value());
    EXPECT_FALSE(parsed.properties.has_value());
    ASSERT_EQ(parsed.imageDefinitions.size(), 2u);
    EXPECT_EQ(parsed.imageDefinitions[1].fileName, "two.png");
    ASSERT_EQ(parsed.folderDefinitions.size(), 1u);
    // "images" holding one dictionary instead of a list: no images, no error.
    EXPECT_TRUE(parsed.folderDefinitions[0].imageDefinitions.empty());
    EXPECT_FALSE(parsed.folderDefinitions[0].metaData.has_value());

    // A list with one element that is not a dictionary counts as no list.
    folder["images"] = Value::array({Value(image("one.png", 10)), Value("stray")});
    EXPECT_TRUE(ConfigFile::configFolderDefinition(folder).imageDefinitions.empty());

    // The first bad image fails the whole entry, also inside a subfolder.
    folder["assets"] = Value::array({Value::dict({{"filename", "Inner.imageset"},
                                                  {"images", Value::array({Value::dict({{"filename", "x"}})})}})});
    EXPECT_EQ(parseFailure(folder, true), Code::unrecognisedDictionaryContents);
    EXPECT_EQ(parseFailure({{"images", Value::array({})}}, true), Code::unrecognisedDictionaryContents);
}

TEST(ConfigFileParsing, CanvasSize) {
    using Size = platform::graphics::Size;
    auto canvas = [](pf::Dictionary properties) { return ConfigFile::canvasSize(properties); };
    EXPECT_EQ(canvas({{"canvasSize", Value::dict({{"width", 400}, {"height", 240}})}}), (Size{400, 240}));
    EXPECT_EQ(ConfigFile::canvasSize(std::nullopt), (Size{0, 0}));
    EXPECT_EQ(canvas({{"canvasSize", Value::dict({{"width", 400}})}}), (Size{0, 0}));
    // Any value that is not a dictionary of integers spoils the whole reading.
    EXPECT_EQ(canvas({{"canvasSize", Value::dict({{"width", 400}, {"height", 240}})}, {"layered", "yes"}}),
              (Size{0, 0}));
    EXPECT_EQ(canvas({{"canvasSize", Value::dict({{"width", 400}, {"height", 240.5}})}}), (Size{0, 0}));
    EXPECT_EQ(canvas({{"other", Value::dict({{"a", 1}})}}), (Size{0, 0}));
}

TEST(ConfigFileParsing, EveryManifestKey) {
    std::vector<std::string> keys;
    for (auto type : ConfigFile::allAssetManifestTypes()) keys.emplace_back(ConfigFile::manifestKey(type));
    EXPECT_EQ(keys, (std::vector<std::string>{"iosIcon", "osxIcon", "iosSplash", "watchIcon", "complicationIcons",
                                              "messageIcon", "tvOSBrandAssets", "tvOSSplash", "tvOSLeaderboard",
                                              "tvOSDashboard"}));
    using M = ConfigFile::AssetManifestType;
    EXPECT_EQ(ConfigFile::assetManifestTypes(gw::ConversionOutputType::catalyst),
              (std::vector<M>{M::iosIcon, M::osxIcon}));
    EXPECT_TRUE(ConfigFile::assetManifestTypes(gw::ConversionOutputType::asset).empty());
    EXPECT_EQ(ConfigFile::assetManifestTypes(gw::ConversionOutputType::tvOSTopShelfWide),
              (std::vector<M>{M::tvOSBrandAssets}));
}

TEST(ConfigFileLookupDeathTest, MissingOrMalformedEntriesStopTheProcess) {
    using M = ConfigFile::AssetManifestType;
    const ConfigFile missing(pf::Dictionary{{"assetManifests", Value::dict({{"osxIcon", Value::dict({})}})}});
    EXPECT_DEATH((void)missing.assetManifest(M::iosIcon), "Unknown assetManifests contents");
    const ConfigFile notDictionary(pf::Dictionary{{"assetManifests", Value::dict({{"iosIcon", "AppIcon"}})}});
    EXPECT_DEATH((void)notDictionary.assetManifest(M::iosIcon), "Unknown assetManifests contents");
    const ConfigFile broken(pf::Dictionary{
        {"assetManifests", Value::dict({{"iosIcon", Value::dict({{"filename", 1}})}})}});
    EXPECT_DEATH((void)broken.assetManifest(M::iosIcon), "unrecognisedDictionaryContents");
}

// Which copy a new ConfigFile reads.
class ConfigFileChoice : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override { gwtest::resetDefinitionsState(); }

    // A valid manifest that differs from the bundle copy by one marker key.
    static void writeCachedCopy() {
        auto root = pf::plist::readFile(ConfigFile::bundleConfigURL().path());
        root.member("marker") = Value("cached");
        pf::files::createDirectories(ConfigFile::cachedConfigURL().fsPath().parent_path());
        pf::files::writeAtomically(ConfigFile::cachedConfigURL().fsPath(), pf::plist::serialize(root));
    }
    static bool readsCachedCopy() { return Value(ConfigFile().rootConfig())["marker"] == Value("cached"); }

    std::vector<std::string> takeLog() { return std::exchange(logged_, {}); }

    std::vector<std::string> logged_;
    platform::log::ScopedLogSink sink_{[this](const platform::log::LogRecord& record) {
        logged_.push_back(record.message);
    }};
};

const std::vector<std::string> kFallback{"FALLEN BACK TO CONFIG FROM BUNDLE"};

TEST_F(ConfigFileChoice, CachedCopyIsPreferredWhenPresent) {
    EXPECT_FALSE(readsCachedCopy());
    EXPECT_EQ(takeLog(), kFallback);
    writeCachedCopy();
    EXPECT_TRUE(readsCachedCopy());
    EXPECT_TRUE(takeLog().empty());
    EXPECT_EQ(ConfigFile::cachedConfigURL().fsPath().parent_path().parent_path(), gwtest::processXdgRoot() / "data");
}

TEST_F(ConfigFileChoice, LaunchArgumentAndSettingSelectTheBundleCopy) {
    writeCachedCopy();
    ConfigFile::setLaunchArguments(std::vector<std::string>{"app", "force_bundle_config"});
    EXPECT_FALSE(readsCachedCopy());
    EXPECT_TRUE(takeLog().empty());
    ConfigFile::setLaunchArguments(std::vector<std::string>{"app", "--force_bundle_config"});
    EXPECT_TRUE(readsCachedCopy());

    pf::UserDefaults::standard().setBool(true, gw::rawValue(gw::UserDefaultsKey::useLocalConfig));
    takeLog();
    EXPECT_FALSE(readsCachedCopy());
    EXPECT_EQ(takeLog(), kFallback);
}

TEST_F(ConfigFileChoice, BrokenCachedCopyFallsBackToTheBundleCopy) {
    const auto path = ConfigFile::cachedConfigURL().fsPath();
    pf::files::createDirectories(path.parent_path());
    const ConfigFile bundle(*pf::plist::readFile(ConfigFile::bundleConfigURL().path()).asDictionary());
    for (std::string contents : {std::string("not a property list"),
                                 std::string(pf::stringFromData(pf::plist::serialize(Value::array({1, 2})))),
                                 std::string(pf::stringFromData(pf::plist::serialize(
                                     Value::dict({{"assetManifests", Value::dict({{"iosIcon", 1}})}})))),
                                 // A text holding a NUL stops the property-list library where it reads one.
                                 gwtest::binaryPlistOfTexts(u"assetManifests", std::u16string(u"\0", 1))}) {
        pf::files::writeAtomically(path, contents);
        takeLog();
        const ConfigFile config;
        EXPECT_EQ(config.rootConfig(), bundle.rootConfig());
        const auto log = takeLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_TRUE(log[0].starts_with("Cached config at ")) << log[0];
        EXPECT_EQ(log[1], kFallback[0]);
        EXPECT_EQ(config.assetManifest(ConfigFile::AssetManifestType::iosIcon).fileName, "AppIcon.appiconset");
    }
}

}  // namespace
