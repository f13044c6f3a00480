#pragma once
// The keys under which every user preference is stored, with the value each one has
// before the user changes it.
#include "platform/foundation/value.hpp"

#include <array>
#include <optional>
#include <string_view>

namespace gw {

// Declaration order is the iteration order of allUserDefaultsKeys(); the stored key
// string (rawValue) differs from the case name for several cases.
enum class UserDefaultsKey {
    openFinder,
    showInstructions,
    overwrite,
    catalogExistsAction,
    catalogContentExistsAction,
    deviceColor,
    iconType,
    aspectRatioLocked,
    autoSelectBackgroundColour,
    carKitOn,
    automaticFileName,
    removeiOSIconTransparency,
    retainColorProfile,
    retainPDFFormat,
    useLocalConfig,
    suppressAllPromptsToReview,
    iconScaleType,
    scanSubfoldersForAssetCatalogs,
    macIconRoundCorners,
    macIconDropShadow,
    macIconPadding,
    catalinaMacIconRoundCorners,
    catalinaMacIconDropShadow,
    catalinaMacIconPadding,
};

inline constexpr std::size_t kUserDefaultsKeyCount = 24;

// Every case, in declaration order.
const std::array<UserDefaultsKey, kUserDefaultsKeyCount>& allUserDefaultsKeys();

// The string under which the value is stored.
std::string_view rawValue(UserDefaultsKey key);

// The case whose stored key equals `raw` exactly (case-sensitive); none otherwise.
std::optional<UserDefaultsKey> userDefaultsKeyFromRawValue(std::string_view raw);

// The registered default: a boolean or a 64-bit integer.
platform::foundation::Value registeredDefault(UserDefaultsKey key);

// Key string -> registered default, for every case.
platform::foundation::Dictionary registeredDefaults();

}  // namespace gw
