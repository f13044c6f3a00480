#pragma once
// The hook through which the engine supplies the validation of a planned tree, so
// that builders can validate what they built without linking the engine.
#include "app/engine/contracts/conversion_warning.hpp"

#include <memory>
#include <mutex>
#include <utility>

namespace gw {

struct FolderDefinition;

class FolderDefinitionValidating {
public:
    virtual ~FolderDefinitionValidating() = default;
    // The warnings for the pictures of the whole tree; never throws.
    virtual ConversionWarnings validate(const FolderDefinition& folderDefinition,
                                        const ValidatorOptions& options) const = 0;
};

namespace detail {
struct FolderDefinitionValidatorRegistry {
    std::mutex mutex;
    std::shared_ptr<const FolderDefinitionValidating> validator;
};
inline FolderDefinitionValidatorRegistry& folderDefinitionValidatorRegistry() {
    static FolderDefinitionValidatorRegistry registry;
    return registry;
}
}  // namespace detail

// The engine registers its validator once at start-up; null removes it.
inline void setFolderDefinitionValidator(std::shared_ptr<const FolderDefinitionValidating> validator) {
    auto& registry = detail::folderDefinitionValidatorRegistry();
    std::lock_guard lock(registry.mutex);
    registry.validator = std::move(validator);
}

// The registered validator, or null when none is registered.
inline std::shared_ptr<const FolderDefinitionValidating> folderDefinitionValidator() {
    auto& registry = detail::folderDefinitionValidatorRegistry();
    std::lock_guard lock(registry.mutex);
    return registry.validator;
}

// The warnings of a tree; none when no validator is registered (no engine in this process).
inline ConversionWarnings validateFolderDefinition(const FolderDefinition& folderDefinition,
                                                   const ValidatorOptions& options) {
    auto validator = folderDefinitionValidator();
    return validator ? validator->validate(folderDefinition, options) : ConversionWarnings{};
}

}  // namespace gw
