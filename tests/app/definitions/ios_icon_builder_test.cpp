#include "app/definitions/folder_definition_builder_ios_icon.hpp"

#include "app/engine/contracts/folder_definition_validating.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "definitions_support.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fmt/format.h>

namespace {

namespace pf = platform::foundation;
using pf::Value;
using gw::CollectionType;
using gw::FolderDefinitionBuilderiOSIcon;
using CollectionError = gw::ImageInputCollection::ImageInputCollectionError;

using gwtest::kOutput;

class IOSIconBuilder : public ::testing::Test {
protected:
    void SetUp() override { gwtest::resetDefinitionsState(); }
    void TearDown() override {
        gw::setFolderDefinitionValidator(nullptr);
        gwtest::resetDefinitionsState();
    }

    static void setSetting(gw::UserDefaultsKey key, bool on) {
        pf::UserDefaults::standard().setBool(on, gw::rawValue(key));
    }

    gw::FolderDefinition build(std::vector<gw::ImageInputPtr> pictures, CollectionType type = CollectionType::single) {
        FolderDefinitionBuilderiOSIcon builder({std::move(pictures), type}, kOutput, factory_);
        return builder.build();
    }

    std::shared_ptr<gwtest::AlwaysAllowTestFactory> factory_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
};

std::string golden(const std::string& relative) {
    return pf::files::readString(std::filesystem::path(GW_FIXTURES_DIR) / "golden/ios-icon" / relative);
}

TEST_F(IOSIconBuilder, PlansTheGoldenAppIconCatalog) {
    auto picture = gwtest::pictureOfSize(1024, 1024, "Icon");
    const auto catalog = build({picture});

    EXPECT_EQ(catalog.outputDirectory.path(), "/tmp/gw-out/Assets.xcassets");
    EXPECT_EQ(Value(catalog.contentsDictionary), pf::json::parse(golden("Assets.xcassets/Contents.json")));
    EXPECT_TRUE(catalog.imageDefinitions.empty());
    ASSERT_EQ(catalog.subfolderDefinitions.size(), 1u);

    const auto& iconSet = catalog.subfolderDefinitions[0];
    EXPECT_EQ(iconSet.outputDirectory.path(), "/tmp/gw-out/Assets.xcassets/AppIcon.appiconset");
    EXPECT_TRUE(iconSet.subfolderDefinitions.empty());
    const auto expectedContents = golden("Assets.xcassets/AppIcon.appiconset/Contents.json");
    EXPECT_EQ(Value(iconSet.contentsDictionary), pf::json::parse(expectedContents));

    std::vector<std::string> lines;
    for (const auto& image : iconSet.imageDefinitions) {
        EXPECT_EQ(image.outputDirectory.deletingLastPathComponent(), iconSet.outputDirectory);
        EXPECT_EQ(image.imageInput, picture);
        EXPECT_EQ(image.scaleType, gw::ScaleType::stretch);
        EXPECT_EQ(image.zoom, 1.0f);
        EXPECT_EQ(image.backgroundColour, platform::graphics::Color::clear());
        EXPECT_TRUE(image.isAlphaChannelRemoved);
        EXPECT_EQ(image.format, gw::ImageDefinition::Format::png);
        EXPECT_FALSE(image.roundCorners);
        EXPECT_FALSE(image.addShadow);
        lines.push_back(fmt::format("{} {}x{}", image.outputDirectory.lastPathComponent(),
                                    static_cast<int>(image.size.width), static_cast<int>(image.size.height)));
    }
    // Files are planned in manifest order, the same order as the "images" list.
    const Value contents(iconSet.contentsDictionary);
    const auto* entries = contents["images"].asArray();
    ASSERT_EQ(entries->size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].starts_with(*(*entries)[i]["filename"].asString() + " "));
    }
    std::sort(lines.begin(), lines.end());
    std::string list;
    for (const auto& line : lines) list += line + "\n";
    EXPECT_EQ(list, golden("images.txt"));
}

TEST_F(IOSIconBuilder, CarSlotsFollowTheSetting) {
    auto picture = gwtest::pictureOfSize(1024, 1024);
    auto countCar = [](const gw::FolderDefinition& catalog) {
        const auto& iconSet = catalog.subfolderDefinitions.at(0);
        auto entries = *Value(iconSet.contentsDictionary)["images"].asArray();
        auto listed = std::count_if(entries.begin(), entries.end(),
                                    [](const Value& entry) { return entry["idiom"] == Value("car"); });
        auto files = std::count_if(iconSet.imageDefinitions.begin(), iconSet.imageDefinitions.end(),
                                   [](const gw::ImageDefinition& image) {
                                       return image.outputDirectory.lastPathComponent().starts_with("Icon-CarPlay");
                                   });
        return std::pair{listed, files};
    };
    EXPECT_EQ(countCar(build({picture})), (std::pair<long, long>{0, 0}));
    setSetting(gw::UserDefaultsKey::carKitOn, true);
    const auto withCar = build({picture});
    EXPECT_EQ(countCar(withCar), (std::pair<long, long>{2, 2}));
    EXPECT_EQ(withCar.subfolderDefinitions[0].imageDefinitions.size(), 20u);
}

// Only the exact text "car" marks a CarPlay slot; anything else that looks like it stays.
TEST(CarIdiomFilter, DropsOnlyTheExactTextCarAndKeepsTheOrder) {
    gw::ConfigFile::ConfigFolderDefinition manifest;
    manifest.fileName = "AppIcon.appiconset";
    for (auto idiom : {Value("iphone"), Value("car"), Value("Car"), Value(7), Value(), Value("car "), Value("car")}) {
        pf::Dictionary metaData{{"size", Value("60x60")}};
        if (!idiom.isNull()) metaData.emplace("idiom", idiom);
        manifest.imageDefinitions.push_back({"icon.png", std::move(metaData), {60, 60}});
    }
    gw::ImageFolderFromConfigBuilder iconSet(kOutput, manifest);
    gw::removeCarIdiomChildren(iconSet);
    std::vector<Value> idioms;
    for (const auto& child : iconSet.subMetaDataAndDefinitionProviders()) {
        const auto metaData = child->metaData();
        auto found = metaData.find("idiom");
        idioms.push_back(found == metaData.end() ? Value() : found->second);
    }
    EXPECT_EQ(idioms, (std::vector<Value>{Value("iphone"), Value("Car"), Value(7), Value(), Value("car ")}));
}

TEST_F(IOSIconBuilder, AlphaRemovalFollowsTheSettingAtEachBuild) {
    for (bool on : {false, true, false}) {
        setSetting(gw::UserDefaultsKey::removeiOSIconTransparency, on);
        const auto catalog = build({gwtest::pictureOfSize(1024, 1024)});
        for (const auto& image : catalog.subfolderDefinitions.at(0).imageDefinitions) {
            EXPECT_EQ(image.isAlphaChannelRemoved, on);
        }
    }
}

TEST_F(IOSIconBuilder, PicturesPerSizeByCollectionType) {
    auto tiny = gwtest::pictureOfSize(10, 10, "Tiny");
    auto big = gwtest::pictureOfSize(1024, 1024, "Big");
    auto names = [](const gw::FolderDefinition& catalog) {
        std::set<std::string> used;
        for (const auto& image : catalog.subfolderDefinitions[0].imageDefinitions) used.insert(image.imageInput->imageName());
        return used;
    };
    // Variants with one picture: that picture everywhere, however far from the size.
    EXPECT_EQ(names(build({tiny}, CollectionType::variants)), (std::set<std::string>{"Tiny"}));
    // Single with several: the first one everywhere.
    EXPECT_EQ(names(build({tiny, big}, CollectionType::single)), (std::set<std::string>{"Tiny"}));
    // Variants with several: the App Store slot takes the exact match.
    const auto variants = build({tiny, big}, CollectionType::variants);
    for (const auto& image : variants.subfolderDefinitions[0].imageDefinitions) {
        if (image.size.width == 1024) {
            EXPECT_EQ(image.imageInput, big);
        } else if (image.size.width == 20) {
            EXPECT_EQ(image.imageInput, tiny);
        }
    }
}

TEST_F(IOSIconBuilder, AsksTheCatalogThenTheIconSetIntent) {
    auto picture = gwtest::pictureOfSize(1024, 1024);
    build({picture});
    const auto requests = factory_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, gw::WritingIntentKind::catalog);
    EXPECT_EQ(requests[0].url.path(), "/tmp/gw-out/Assets.xcassets");
    EXPECT_EQ(requests[1].kind, gw::WritingIntentKind::asset);
    EXPECT_EQ(requests[1].url.path(), "/tmp/gw-out/Assets.xcassets/AppIcon.appiconset");
    for (const auto& request : requests) {
        ASSERT_EQ(request.options.size(), 1u);
        EXPECT_EQ(request.options[0].imageInputValue(), picture);
    }
}

TEST_F(IOSIconBuilder, AnsweredFoldersCarryTheRestOfThePlan) {
    auto stored = std::make_shared<gwtest::StoredAnswerTestFactory>();
    const auto renamed = pf::URL::fileURL("/tmp/gw-out/Assets 2.xcassets", true);
    stored->setAnswer(gw::WritingIntentKind::catalog, {false, renamed});
    FolderDefinitionBuilderiOSIcon builder({{gwtest::pictureOfSize(1024, 1024)}, CollectionType::single}, kOutput,
                                           stored);
    const auto catalog = builder.build();
    EXPECT_EQ(catalog.outputDirectory, renamed);
    EXPECT_EQ(stored->requests().at(1).url.path(), "/tmp/gw-out/Assets 2.xcassets/AppIcon.appiconset");
    const auto& iconSet = catalog.subfolderDefinitions.at(0);
    EXPECT_EQ(iconSet.outputDirectory.deletingLastPathComponent(), renamed);
    for (const auto& image : iconSet.imageDefinitions) {
        EXPECT_EQ(image.outputDirectory.deletingLastPathComponent(), iconSet.outputDirectory);
    }

    const auto renamedSet = pf::URL::fileURL("/tmp/gw-out/Assets 2.xcassets/AppIcon 2.appiconset", true);
    stored->setAnswer(gw::WritingIntentKind::asset, {false, renamedSet});
    EXPECT_EQ(builder.build().subfolderDefinitions.at(0).imageDefinitions.at(0).outputDirectory.deletingLastPathComponent(),
              renamedSet);
}

TEST_F(IOSIconBuilder, CancelAndPictureErrorsEndTheBuild) {
    auto picture = gwtest::pictureOfSize(1024, 1024);
    for (auto kind : {gw::WritingIntentKind::catalog, gw::WritingIntentKind::asset}) {
        auto stored = std::make_shared<gwtest::StoredAnswerTestFactory>();
        stored->setAnswer(kind, {true, std::nullopt});
        FolderDefinitionBuilderiOSIcon builder({{picture}, CollectionType::single}, kOutput, stored);
        EXPECT_THROW(builder.build(), gw::FileWritingIntentError);
        EXPECT_TRUE(builder.validate().empty());
    }

    auto expectCollectionError = [&](std::vector<gw::ImageInputPtr> pictures, CollectionType type,
                                     CollectionError::Case expected) {
        try {
            build(std::move(pictures), type);
            ADD_FAILURE() << "no error";
        } catch (const CollectionError& error) {
            EXPECT_EQ(error.errorCase(), expected);
        }
    };
    expectCollectionError({picture, picture}, CollectionType::batch, CollectionError::Case::tooMany);
    expectCollectionError({}, CollectionType::batch, CollectionError::Case::empty);
    expectCollectionError({}, CollectionType::variants, CollectionError::Case::empty);
    EXPECT_TRUE(factory_->requests().empty());
}

// Stands in for the engine's tree validator: reports what it was asked.
class RecordingValidator : public gw::FolderDefinitionValidating {
public:
    gw::ConversionWarnings validate(const gw::FolderDefinition& folder, const gw::ValidatorOptions& options) const override {
        seenOptions = options;
        seenImages = folder.subfolderDefinitions.empty() ? 0 : folder.subfolderDefinitions[0].imageDefinitions.size();
        return {gw::ConversionWarning{nullptr, gw::ConversionWarning::Kind::transparentBackground, false, std::nullopt}};
    }
    mutable gw::ValidatorOptions seenOptions;
    mutable std::size_t seenImages = 0;
};

TEST_F(IOSIconBuilder, ValidationBuildsWithTheOptionOfTheCollectionType) {
    auto validator = std::make_shared<RecordingValidator>();
    gw::setFolderDefinitionValidator(validator);
    auto picture = gwtest::pictureOfSize(1024, 1024);
    const std::vector<std::pair<CollectionType, gw::ValidatorOption>> cases{
        {CollectionType::single, gw::ValidatorOption::warnIfMultipleAspectRatiosExist},
        {CollectionType::variants, gw::ValidatorOption::ignoreImageInput},
        {CollectionType::batch, gw::ValidatorOption::includeImageName},
    };
    for (auto [type, option] : cases) {
        FolderDefinitionBuilderiOSIcon builder({{picture}, type}, kOutput, factory_);
        EXPECT_EQ(builder.validate().size(), 1u);
        EXPECT_EQ(validator->seenOptions, gw::ValidatorOptions{option});
        EXPECT_EQ(validator->seenImages, 18u);
    }
    FolderDefinitionBuilderiOSIcon empty({{}, CollectionType::single}, kOutput, factory_);
    EXPECT_TRUE(empty.validate().empty());
}

}  // namespace
