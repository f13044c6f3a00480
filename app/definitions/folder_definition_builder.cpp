#include "app/definitions/folder_definition_builder.hpp"

#include "app/engine/contracts/folder_definition_validating.hpp"
#include "platform/foundation/error.hpp"

namespace gw {

ValidatorOption validatorOption(CollectionType collectionType) {
    switch (collectionType) {
    case CollectionType::single: return ValidatorOption::warnIfMultipleAspectRatiosExist;
    case CollectionType::variants: return ValidatorOption::ignoreImageInput;
    case CollectionType::batch: return ValidatorOption::includeImageName;
    }
    platform::foundation::fatalError("Unknown collection type", "FolderDefinitionBuilder");
}

ConversionWarnings validateBuild(FolderDefinitionBuilder& builder) {
    return validateBuild(builder, {validatorOption(builder.imageInputCollection().collectionType)});
}

ConversionWarnings validateBuild(FolderDefinitionBuilder& builder, const ValidatorOptions& options) {
    FolderDefinition definition;
    try {
        definition = builder.build();
    } catch (...) {
        // A plan that can't be made has nothing to warn about; the run reports the error.
        return {};
    }
    return validateFolderDefinition(definition, options);
}

}  // namespace gw
