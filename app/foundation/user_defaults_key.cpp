#include "app/foundation/user_defaults_key.hpp"

#include <cstdint>

namespace gw {

namespace {

namespace pf = platform::foundation;

struct KeyInfo {
    UserDefaultsKey key;
    std::string_view raw;
    pf::Value defaultValue;
};

// Booleans stay booleans and integers stay 64-bit integers, so the stored and mirrored
// forms keep their property-list number kinds.
const std::array<KeyInfo, kUserDefaultsKeyCount>& table() {
    static const std::array<KeyInfo, kUserDefaultsKeyCount> entries{{
        {UserDefaultsKey::openFinder, "OpenFinder", pf::Value(true)},
        {UserDefaultsKey::showInstructions, "ShowInstructions", pf::Value(true)},
        {UserDefaultsKey::overwrite, "Overwrite", pf::Value(false)},
        {UserDefaultsKey::catalogExistsAction, "CatalogExistsAction", pf::Value(std::int64_t{0})},
        {UserDefaultsKey::catalogContentExistsAction, "CatalogContentExistsAction", pf::Value(std::int64_t{0})},
        {UserDefaultsKey::deviceColor, "DeviceColor", pf::Value(std::int64_t{0})},
        {UserDefaultsKey::iconType, "IconType", pf::Value(std::int64_t{0})},
        {UserDefaultsKey::aspectRatioLocked, "aspectRatioLocked", pf::Value(true)},
        {UserDefaultsKey::autoSelectBackgroundColour, "autoSelectBackgroundColour", pf::Value(true)},
        {UserDefaultsKey::carKitOn, "carKitIconOn", pf::Value(false)},
        {UserDefaultsKey::automaticFileName, "AutomaticAssetFileName", pf::Value(true)},
        {UserDefaultsKey::removeiOSIconTransparency, "removeiOSIconTransparency", pf::Value(true)},
        {UserDefaultsKey::retainColorProfile, "retainColorProfile", pf::Value(true)},
        {UserDefaultsKey::retainPDFFormat, "retainPDFFormat", pf::Value(true)},
        {UserDefaultsKey::useLocalConfig, "useLocalConfigFile", pf::Value(false)},
        {UserDefaultsKey::suppressAllPromptsToReview, "suppressAllPromptsToReview", pf::Value(false)},
        {UserDefaultsKey::iconScaleType, "iconScaleType", pf::Value(std::int64_t{1})},
        {UserDefaultsKey::scanSubfoldersForAssetCatalogs, "scanSubfoldersForAssetCatalogs", pf::Value(true)},
        {UserDefaultsKey::macIconRoundCorners, "macIconRoundCorners", pf::Value(false)},
        {UserDefaultsKey::macIconDropShadow, "macIconDropShadow", pf::Value(false)},
        {UserDefaultsKey::macIconPadding, "macIconPadding", pf::Value(false)},
        {UserDefaultsKey::catalinaMacIconRoundCorners, "catalinaMacIconRoundCorners", pf::Value(true)},
        {UserDefaultsKey::catalinaMacIconDropShadow, "catalinaMacIconDropShadow", pf::Value(true)},
        {UserDefaultsKey::catalinaMacIconPadding, "catalinaMacIconPadding", pf::Value(true)},
    }};
    return entries;
}

const KeyInfo& info(UserDefaultsKey key) {
    // The table is in declaration order, so the case's ordinal is its row.
    return table()[static_cast<std::size_t>(key)];
}

}  // namespace

const std::array<UserDefaultsKey, kUserDefaultsKeyCount>& allUserDefaultsKeys() {
    static const std::array<UserDefaultsKey, kUserDefaultsKeyCount> keys = [] {
        std::array<UserDefaultsKey, kUserDefaultsKeyCount> result{};
        for (std::size_t i = 0; i < kUserDefaultsKeyCount; ++i) result[i] = table()[i].key;
        return result;
    }();
    return keys;
}

std::string_view rawValue(UserDefaultsKey key) { return info(key).raw; }

std::optional<UserDefaultsKey> userDefaultsKeyFromRawValue(std::string_view raw) {
    for (const auto& entry : table()) {
        if (entry.raw == raw) return entry.key;
    }
    return std::nullopt;
}

platform::foundation::Value registeredDefault(UserDefaultsKey key) { return info(key).defaultValue; }

platform::foundation::Dictionary registeredDefaults() {
    platform::foundation::Dictionary result;
    for (const auto& entry : table()) result.emplace(std::string(entry.raw), entry.defaultValue);
    return result;
}

}  // namespace gw
