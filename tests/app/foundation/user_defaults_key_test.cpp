#include "app/foundation/user_defaults_key.hpp"


#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using gw::UserDefaultsKey;
namespace pf = platform::foundation;

TEST(UserDefaultsKey, RawValuesAreTheStoredKeysInDeclarationOrder) {
    const auto& keys = gw::allUserDefaultsKeys();
    ASSERT_EQ(keys.size(), 24u);
    EXPECT_EQ(keys.front(), UserDefaultsKey::openFinder);
    EXPECT_EQ(keys.back(), UserDefaultsKey::catalinaMacIconPadding);
    EXPECT_EQ(gw::rawValue(UserDefaultsKey::openFinder), "OpenFinder");
    EXPECT_EQ(gw::rawValue(UserDefaultsKey::carKitOn), "carKitIconOn");
    EXPECT_EQ(gw::rawValue(UserDefaultsKey::automaticFileName), "AutomaticAssetFileName");
    EXPECT_EQ(gw::rawValue(UserDefaultsKey::useLocalConfig), "useLocalConfigFile");
    EXPECT_EQ(gw::rawValue(UserDefaultsKey::iconScaleType), "iconScaleType");

    std::set<std::string> distinct;
    for (const auto key : keys) distinct.insert(std::string(gw::rawValue(key)));
    EXPECT_EQ(distinct.size(), keys.size());
}

TEST(UserDefaultsKey, LookupByRawValueIsExactAndCaseSensitive) {
    EXPECT_EQ(gw::userDefaultsKeyFromRawValue("useLocalConfigFile"), UserDefaultsKey::useLocalConfig);
    EXPECT_EQ(gw::userDefaultsKeyFromRawValue("useLocalConfig"), std::nullopt);
    EXPECT_EQ(gw::userDefaultsKeyFromRawValue("openFinder"), std::nullopt);
    EXPECT_EQ(gw::userDefaultsKeyFromRawValue("OpenFinder "), std::nullopt);
    EXPECT_EQ(gw::userDefaultsKeyFromRawValue(""), std::nullopt);
    for (const auto key : gw::allUserDefaultsKeys()) {
        EXPECT_EQ(gw::userDefaultsKeyFromRawValue(gw::rawValue(key)), key);
    }
}

TEST(UserDefaultsKey, DefaultsKeepTheirNumberKinds) {
    EXPECT_EQ(gw::registeredDefault(UserDefaultsKey::iconScaleType), pf::Value(std::int64_t{1}));
    EXPECT_TRUE(gw::registeredDefault(UserDefaultsKey::catalogExistsAction).isInteger());
    EXPECT_TRUE(gw::registeredDefault(UserDefaultsKey::overwrite).isBool());
    const auto defaults = gw::registeredDefaults();
    EXPECT_EQ(defaults.size(), 24u);
    for (const auto key : gw::allUserDefaultsKeys()) {
        const auto& value = defaults.at(std::string(gw::rawValue(key)));
        EXPECT_TRUE(value.isBool() || value.isInteger()) << gw::rawValue(key);
    }
}

}  // namespace
