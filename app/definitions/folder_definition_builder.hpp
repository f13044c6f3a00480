#pragma once
// What every per-output-type builder offers: a plan of the catalog (build) and the
// warnings about that plan (validate).
#include "app/definitions/folder_definition.hpp"
#include "app/engine/contracts/conversion_warning.hpp"
#include "app/foundation/image_input_collection.hpp"

#include <memory>

namespace gw {

class ConversionValidator {
public:
    virtual ~ConversionValidator() = default;
    // Never throws.
    virtual ConversionWarnings validate() = 0;
};

class FolderDefinitionBuilder : public ConversionValidator {
public:
    virtual const ImageInputCollection& imageInputCollection() const = 0;
    // Plans the catalog; may show the already-exists prompts of the writing intents.
    virtual FolderDefinition build() = 0;
};

using FolderDefinitionBuilderPtr = std::shared_ptr<FolderDefinitionBuilder>;

// The validator option that suits a collection type.
ValidatorOption validatorOption(CollectionType collectionType);

// The frame's validate(): builds, and on success asks the engine's validator about the
// tree with the option of the collection type; a failed build gives no warnings.
ConversionWarnings validateBuild(FolderDefinitionBuilder& builder);
// The same with the validator options a builder chooses itself.
ConversionWarnings validateBuild(FolderDefinitionBuilder& builder, const ValidatorOptions& options);

}  // namespace gw
