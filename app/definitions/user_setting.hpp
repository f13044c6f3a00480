#pragma once
// Settings read at the moment they are needed. A key the user never set answers its
// registered default even when nobody registered the defaults in this process.
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/user_defaults.hpp"

namespace gw {

inline bool boolSetting(UserDefaultsKey key) {
    const auto value = platform::foundation::UserDefaults::standard().objectForKey(rawValue(key));
    return value.isNull() ? registeredDefault(key).boolValue() : value.boolValue();
}

}  // namespace gw
