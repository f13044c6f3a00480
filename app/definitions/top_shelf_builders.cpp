#include "app/definitions/top_shelf_builders.hpp"

#include "app/definitions/user_setting.hpp"
#include "app/foundation/user_defaults_key.hpp"

namespace gw {

namespace pf = platform::foundation;
using WritingType = FolderDefinitionBuilderTVBrandAssets::WritingType;

TopShelfBuilderBase::TopShelfBuilderBase(ImageInputCollection imageInputCollection, pf::URL outputDirectory,
                                         FileWritingIntentFactoryPtr fileWritingIntentFactory, WritingType writingType)
    : TypeBuilderBase(std::move(imageInputCollection), std::move(outputDirectory), std::move(fileWritingIntentFactory)),
      topLevelBuilder_(std::make_unique<FolderDefinitionBuilderTVBrandAssets>(
          imageInputCollection_, outputDirectory_, fileWritingIntentFactory_, writingType)) {}

FolderDefinition TopShelfBuilderBase::build() {
    auto& set = topLevelBuilder_->writingType() == WritingType::topShelfWide ? topLevelBuilder_->topShelfWideBuilder()
                                                                              : topLevelBuilder_->topShelfBuilder();
    ImageSettings settings;
    settings.scaleType = iconScaleTypeSetting();
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    settings.isAlphaChannelRemoved = boolSetting(UserDefaultsKey::removeiOSIconTransparency);
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    const auto setURL = set.outputDirectory();
    set.configureImageDefinitionBuilders(imageInputCollection_, settings, setURL);
    return topLevelBuilder_->build();
}

}  // namespace gw
