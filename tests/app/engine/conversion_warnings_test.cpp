// Warning texts, which warnings outrank which, and the warnings the definition
// validators find in planned trees of real pictures.
#include "app/engine/conversion_warning.hpp"
#include "app/engine/definition_validators.hpp"
#include "engine_writing_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
namespace pg = platform::graphics;
using gw::ConversionWarning;
using gw::ValidatorOption;
using Kind = ConversionWarning::Kind;
using gwtest::engine::picture;
using gwtest::engine::vectorPicture;

class ConversionWarnings : public gwtest::engine::EngineEnvironment {};

TEST_F(ConversionWarnings, TextsComeFromTheStringsTableWithTheShortenedNameInFront) {
    auto input = picture(10, 10, "Icon");
    EXPECT_EQ(gw::errorDescription(gw::makeSizeWarning(input, false, {1024, 1024})),
              "The image is too small. It should be at least 1024 x 1024 pixels.");
    EXPECT_EQ(gw::errorDescription(gw::makeAspectRatioWarning(input, false, {1920, 1080})),
              "The image does not have the required aspect ratio of 16:9.");
    EXPECT_EQ(gw::errorDescription(gw::makeTransparentBackgroundWarning(input, true)),
              "Icon: The image has a transparent background. App icons must be opaque, so the transparency will "
              "be removed.");
    EXPECT_EQ(gw::errorDescription(gw::makeSizeVariationsModeWarning(input, false)),
              "Image variants mode is recommended for this output type.");

    input->setImageName("ExactlyFifteen!");
    EXPECT_EQ(gw::errorDescription(gw::makeSizeVariationsModeWarning(input, true)),
              "ExactlyFifteen!: Image variants mode is recommended for this output type.");
    input->setImageName("SixteenCharsLong");
    EXPECT_EQ(gw::errorDescription(gw::makeSizeVariationsModeWarning(input, true)),
              "Sixtee...rsLong: Image variants mode is recommended for this output type.");
}

TEST_F(ConversionWarnings, RedundancyFollowsThePriorityPerPicture) {
    auto a = picture(10, 10, "A");
    auto b = picture(10, 10, "B");
    const gw::ValidatorOptions none;
    const auto big = gw::makeSizeWarning(a, false, {1024, 1024});
    const auto small = gw::makeSizeWarning(a, false, {512, 512});
    const auto wide = gw::makeSizeWarning(a, false, {2048, 512});
    EXPECT_TRUE(gw::matches(big, small, none));
    EXPECT_FALSE(gw::matches(small, big, none));
    EXPECT_FALSE(gw::matches(big, gw::makeSizeWarning(a, false, {512, 2048}), none) ||
                 gw::matches(gw::makeSizeWarning(a, false, {512, 2048}), big, none) ||
                 gw::matches(wide, gw::makeSizeWarning(a, false, {512, 2048}), none));

    const auto sixteenNine = gw::makeAspectRatioWarning(a, false, {1600, 900});
    const auto sixteenTen = gw::makeAspectRatioWarning(a, false, {1600, 1000});
    EXPECT_FALSE(gw::matches(sixteenNine, sixteenTen, none));
    EXPECT_TRUE(gw::matches(gw::makeAspectRatioWarning(a, false, {400, 300}),
                            gw::makeAspectRatioWarning(a, false, {140, 100}), none));
    EXPECT_TRUE(gw::matches(sixteenNine, big, none));
    EXPECT_FALSE(gw::matches(big, sixteenNine, none));

    const auto clear = gw::makeTransparentBackgroundWarning(a, false);
    const auto variants = gw::makeSizeVariationsModeWarning(a, false);
    EXPECT_TRUE(gw::matches(big, clear, none));
    EXPECT_TRUE(gw::matches(clear, gw::makeTransparentBackgroundWarning(a, false), none));
    EXPECT_FALSE(gw::matches(clear, variants, none));
    EXPECT_TRUE(gw::matches(variants, big, none));

    // Another picture: never, unless pictures are ignored.
    const auto otherSmall = gw::makeSizeWarning(b, false, {512, 512});
    EXPECT_FALSE(gw::matches(big, otherSmall, none));
    EXPECT_TRUE(gw::matches(big, otherSmall, {ValidatorOption::ignoreImageInput}));
    // Same content in another object is another picture.
    EXPECT_FALSE(gw::matches(big, gw::makeSizeWarning(picture(10, 10, "A"), false, {1, 1}), none));
}

gw::ImageDefinition imageDefinition(const gw::ImageInputPtr& input, pg::Size size, bool removesAlpha = false) {
    gw::ImageDefinition definition;
    definition.imageInput = input;
    definition.outputDirectory = pf::URL::fileURL("/tmp/out/x.png", false);
    definition.size = size;
    definition.isAlphaChannelRemoved = removesAlpha;
    return definition;
}

gw::FolderDefinition tree(std::vector<gw::ImageDefinition> top, std::vector<gw::ImageDefinition> nested = {}) {
    gw::FolderDefinition folder;
    folder.outputDirectory = pf::URL::fileURL("/tmp/out", true);
    folder.imageDefinitions = std::move(top);
    if (!nested.empty()) {
        gw::FolderDefinition sub;
        sub.outputDirectory = pf::URL::fileURL("/tmp/out/sub", true);
        sub.imageDefinitions = std::move(nested);
        folder.subfolderDefinitions.push_back(std::move(sub));
    }
    return folder;
}

gw::ConversionWarnings validate(const gw::FolderDefinition& folder, gw::ValidatorOptions options) {
    return gw::FolderDefinitionValidator(folder, std::move(options)).validate();
}

TEST_F(ConversionWarnings, SquareSizesInSingleModeCheckEachPicture) {
    auto small = picture(100, 100, "Small");
    const auto warnings = validate(tree({imageDefinition(small, {120, 120}), imageDefinition(small, {180, 180})},
                                        {imageDefinition(small, {1024, 1024})}),
                                   {ValidatorOption::warnIfMultipleAspectRatiosExist});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].kind, Kind::size);
    EXPECT_EQ(warnings[0].requiredSize, (pg::Size{1024, 1024}));
    EXPECT_FALSE(warnings[0].prefixErrorDescriptionWithImageName);
}

TEST_F(ConversionWarnings, SeveralAspectRatiosInSingleModeGiveOneVariantsWarning) {
    auto first = picture(2000, 2000, "First");
    auto second = picture(10, 10, "Second");
    const auto folder = tree({}, {imageDefinition(first, {1024, 1024}), imageDefinition(second, {1920, 1080})});
    EXPECT_TRUE(gw::hasMultipleAspectRatios(folder));
    const auto warnings = validate(folder, {ValidatorOption::warnIfMultipleAspectRatiosExist,
                                            ValidatorOption::includeImageName});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].kind, Kind::sizeVariationsMode);
    EXPECT_EQ(warnings[0].imageInput, first);
    EXPECT_TRUE(warnings[0].prefixErrorDescriptionWithImageName);
}

TEST_F(ConversionWarnings, VectorPicturesAreNeverTooSmallButKeepTheirShape) {
    auto vector = vectorPicture(10, 20);
    const auto warnings = validate(tree({imageDefinition(vector, {1024, 1024})}), {});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].kind, Kind::aspectRatio);
    EXPECT_TRUE(validate(tree({imageDefinition(vector, {500, 1000})}), {}).empty());
    // A 2000 x 100 bitmap has more pixels than 300 x 300: only its shape is wrong.
    const auto flat = validate(tree({imageDefinition(picture(2000, 100), {300, 300})}), {});
    ASSERT_EQ(flat.size(), 1u);
    EXPECT_EQ(flat[0].kind, Kind::aspectRatio);
}

TEST_F(ConversionWarnings, TheAspectRatioWarningPushesOutSizeAndTransparency) {
    // 1000 x 500, transparent corners, alpha removed, a larger square target.
    auto input = picture(1000, 500, "Wide", 4);
    const auto warnings = validate(tree({imageDefinition(input, {2048, 2048}, true)}), {});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].kind, Kind::aspectRatio);

    // Transparency alone is reported once, however often the picture is planned.
    auto square = picture(1024, 1024, "Square", 4);
    const auto transparent =
        validate(tree({imageDefinition(square, {512, 512}, true), imageDefinition(square, {256, 256}, true)}), {});
    ASSERT_EQ(transparent.size(), 1u);
    EXPECT_EQ(transparent[0].kind, Kind::transparentBackground);
    EXPECT_TRUE(validate(tree({imageDefinition(square, {512, 512}, false)}), {}).empty());
}

TEST_F(ConversionWarnings, IgnoringPicturesKeepsOnlyTheLargestSizeAcrossThem) {
    auto one = picture(100, 100, "One");
    auto two = picture(100, 100, "Two");
    const auto folder = tree({imageDefinition(one, {180, 180}), imageDefinition(two, {1024, 1024})});
    const auto across = validate(folder, {ValidatorOption::ignoreImageInput});
    ASSERT_EQ(across.size(), 1u);
    EXPECT_EQ(across[0].imageInput, two);
    // Per picture, both stay.
    EXPECT_EQ(validate(folder, {}).size(), 2u);
    // Different ratios, far apart, stay side by side.
    auto photo = picture(100, 100, "Photo");
    EXPECT_EQ(validate(tree({imageDefinition(photo, {1600, 900}), imageDefinition(photo, {900, 1600})}), {}).size(),
              2u);
}

TEST_F(ConversionWarnings, TreesWithoutPicturesGiveNoWarnings) {
    EXPECT_TRUE(validate(tree({}), {}).empty());
    EXPECT_TRUE(validate(tree({}), {ValidatorOption::warnIfMultipleAspectRatiosExist}).empty());
    EXPECT_TRUE(gw::hasMultipleAspectRatios(tree({})));
}

TEST_F(ConversionWarnings, BuildersReachTheValidatorThroughTheHook) {
    gw::registerFolderDefinitionValidator();
    const auto warnings =
        gw::validateFolderDefinition(tree({imageDefinition(picture(10, 10), {20, 20})}), {ValidatorOption::includeImageName});
    gw::setFolderDefinitionValidator(nullptr);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].prefixErrorDescriptionWithImageName);
}

}  // namespace
