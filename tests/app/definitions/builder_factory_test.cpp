#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/definitions/catalyst_icon_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/image_asset_builder.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/definitions/macos_icon_builder.hpp"
#include "app/definitions/top_shelf_builders.hpp"

#include "app/foundation/localized_string.hpp"
#include "definitions_support.hpp"

#include <gtest/gtest.h>

namespace {

namespace pf = platform::foundation;
using gw::CollectionType;
using gw::ConversionOutputType;
using Factory = gw::FolderDefinitionBuilderFactory;
using Case = Factory::Error::Case;

using gwtest::kOutput;

class BuilderFactory : public ::testing::Test {
protected:
    std::optional<Case> refusal(const std::vector<gw::ImageInputPtr>& pictures,
                                const std::vector<gw::ImageInputPtr>& selected, CollectionType mode,
                                std::optional<pf::URL> output, std::optional<ConversionOutputType> type) {
        try {
            Factory().makeBuilders(pictures, selected, mode, output, type, intents_);
        } catch (const Factory::Error& error) {
            // Every refusal carries the text of its key.
            EXPECT_EQ(error.what(), gw::LocalizedString::text(Factory::Error::descriptionKey(error.errorCase())));
            EXPECT_NE(std::string(error.what()), Factory::Error::descriptionKey(error.errorCase()));
            return error.errorCase();
        }
        return std::nullopt;
    }

    std::shared_ptr<gwtest::AlwaysAllowTestFactory> intents_ = std::make_shared<gwtest::AlwaysAllowTestFactory>();
    gw::ImageInputPtr a_ = gwtest::pictureOfSize(64, 64, "A");
    gw::ImageInputPtr b_ = gwtest::pictureOfSize(32, 32, "B");
    gw::ImageInputPtr c_ = gwtest::pictureOfSize(16, 16, "C");
};

TEST_F(BuilderFactory, RefusesBadRequestsInCheckOrder) {
    const auto icon = ConversionOutputType::iOSIcon;
    EXPECT_EQ(refusal({}, {}, CollectionType::single, std::nullopt, std::nullopt), Case::missingImageInputs);
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::single, std::nullopt, std::nullopt), Case::missingOutputDirectory);
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::single, kOutput, std::nullopt), Case::missingResizeType);
    EXPECT_EQ(refusal({a_, b_, c_}, {a_}, CollectionType::batch, kOutput, icon), Case::batchModeNotSupported);
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::batch, kOutput, ConversionOutputType::tvOSTopShelf),
              Case::batchModeNotSupported);
    // The mode check comes before the image-stack picture count.
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::single, kOutput, ConversionOutputType::tvOSIcon),
              Case::singleImageModeNotSupported);
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::single, kOutput, ConversionOutputType::tvOSLeaderboard),
              Case::singleImageModeNotSupported);
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::variants, kOutput, ConversionOutputType::tvOSLeaderboard),
              Case::minimumImageCountNotMet);
    EXPECT_EQ(refusal({a_, b_}, {a_}, CollectionType::variants, kOutput, ConversionOutputType::tvOSLeaderboard),
              std::nullopt);
    // The tvOS icon's own initialiser makes the same check.
    EXPECT_EQ(refusal({a_}, {a_}, CollectionType::variants, kOutput, ConversionOutputType::tvOSIcon),
              Case::minimumImageCountNotMet);
    // Pictures but nothing selected in single mode.
    EXPECT_EQ(refusal({a_, b_}, {}, CollectionType::single, kOutput, icon), Case::missingImageInputs);
}

TEST_F(BuilderFactory, EveryRefusalHasItsOwnText) {
    std::set<std::string> texts;
    for (int raw = 0; raw <= 6; ++raw) {
        Factory::Error error(static_cast<Case>(raw));
        EXPECT_EQ(error.localizedDescription(), error.what());
        texts.insert(error.what());
    }
    EXPECT_EQ(texts.size(), 7u);
    EXPECT_EQ(Factory::Error::descriptionKey(Case::variantsImageModeNotSupported),
              "error.description.variantsImageModeNotSupported");
}

TEST_F(BuilderFactory, SingleModeBuildsFromTheFirstSelectedPicture) {
    auto builders = Factory().makeBuilders({a_, b_, c_}, {c_, b_}, CollectionType::single, kOutput,
                                           ConversionOutputType::iOSIcon, intents_);
    ASSERT_EQ(builders.size(), 1u);
    const auto& collection = builders[0]->imageInputCollection();
    EXPECT_EQ(collection.collectionType, CollectionType::single);
    EXPECT_EQ(collection.imageInputs, (std::vector<gw::ImageInputPtr>{c_}));
    auto* icon = dynamic_cast<gw::FolderDefinitionBuilderiOSIcon*>(builders[0].get());
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->outputDirectory(), kOutput);
    EXPECT_EQ(icon->fileWritingIntentFactory(), intents_);
}

TEST_F(BuilderFactory, VariantsModeBuildsOneBuilderFromAllPictures) {
    auto builders = Factory().makeBuilders({a_, b_, c_}, {}, CollectionType::variants, kOutput,
                                           ConversionOutputType::iOSIcon, intents_);
    ASSERT_EQ(builders.size(), 1u);
    EXPECT_EQ(builders[0]->imageInputCollection().imageInputs, (std::vector<gw::ImageInputPtr>{a_, b_, c_}));
    EXPECT_EQ(builders[0]->imageInputCollection().collectionType, CollectionType::variants);
}

// Counts the per-type calls and refuses one of them, as a builder's initialiser may.
class RefusingFactory : public Factory {
public:
    gw::FolderDefinitionBuilderPtr makeBuilder(const gw::ImageInputCollection& collection, ConversionOutputType type,
                                               const pf::URL& output,
                                               const gw::FileWritingIntentFactoryPtr& intents) const override {
        if (++calls == failOnCall) throw std::runtime_error("builder refused");
        return Factory::makeBuilder(collection, type, output, intents);
    }
    mutable int calls = 0;
    int failOnCall = 0;
};

TEST_F(BuilderFactory, BatchModeMakesOneBuilderPerPictureInOrder) {
    auto builders = Factory().makeBuilders({a_, b_, c_}, {b_}, CollectionType::batch, kOutput,
                                           ConversionOutputType::asset, intents_);
    ASSERT_EQ(builders.size(), 3u);
    const std::vector<gw::ImageInputPtr> pictures{a_, b_, c_};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(dynamic_cast<gw::FolderDefinitionBuilderAsset*>(builders[i].get()), nullptr);
        EXPECT_EQ(builders[i]->imageInputCollection().imageInputs, (std::vector<gw::ImageInputPtr>{pictures[i]}));
        EXPECT_EQ(builders[i]->imageInputCollection().collectionType, CollectionType::batch);
    }

    // A builder that can't be made ends the call; no partial list comes back.
    RefusingFactory refusing;
    refusing.failOnCall = 2;
    EXPECT_THROW(refusing.makeBuilders({a_, b_, c_}, {}, CollectionType::batch, kOutput, ConversionOutputType::asset,
                                       intents_),
                 std::runtime_error);
    EXPECT_EQ(refusing.calls, 2);
}

TEST_F(BuilderFactory, EveryOutputTypeGetsItsBuilder) {
    gwtest::resetDefinitionsState();
    auto big = gwtest::pictureOfSize(1024, 1024, "Big");
    auto small = gwtest::pictureOfSize(512, 512, "Small");
    for (auto type : gw::ConversionOutputTypes::allCases()) {
        SCOPED_TRACE(std::string(gw::ConversionOutputTypes::commandLineName(type)));
        auto builders = Factory().makeBuilders({big, small}, {big}, CollectionType::variants, kOutput, type, intents_);
        ASSERT_EQ(builders.size(), 1u);
        EXPECT_EQ(builders[0]->imageInputCollection().imageInputs.size(), 2u);
    }
    auto is = [&](ConversionOutputType type, auto* sample) {
        auto builders = Factory().makeBuilders({big, small}, {big}, CollectionType::variants, kOutput, type, intents_);
        return dynamic_cast<decltype(sample)>(builders.at(0).get()) != nullptr;
    };
    EXPECT_TRUE(is(ConversionOutputType::iOSIcon, static_cast<gw::FolderDefinitionBuilderiOSIcon*>(nullptr)));
    EXPECT_TRUE(is(ConversionOutputType::macOSIcon, static_cast<gw::FolderDefinitionBuilderOSXIcons*>(nullptr)));
    EXPECT_TRUE(is(ConversionOutputType::catalyst, static_cast<gw::FolderDefinitionBuilderCatalystIcon*>(nullptr)));
    EXPECT_TRUE(is(ConversionOutputType::tvOSLeaderboard,
                   static_cast<gw::FolderDefinitionBuildertvOSLeaderboard*>(nullptr)));
    EXPECT_TRUE(is(ConversionOutputType::tvOSTopShelfWide,
                   static_cast<gw::FolderDefinitionBuildertvOSTopShelfWide*>(nullptr)));
}

TEST_F(BuilderFactory, BuildersReceiveTheIntentFactoryUnchanged) {
    auto builders = Factory().makeBuilders({a_}, {a_}, CollectionType::single, kOutput, ConversionOutputType::iOSIcon,
                                           intents_);
    gwtest::resetDefinitionsState();
    builders[0]->build();
    EXPECT_EQ(intents_->requests().size(), 2u);
}

}  // namespace
