#pragma once
// Stands in for the platform's shared user-defaults controller: bindings reach the
// settings through "values.<key>". It always works on the current standard settings
// (tests replace them) and tells observers of a key after any settings change.
#include "platform/appkit/key_value.hpp"

#include <memory>

namespace platform::appkit {

class UserDefaultsController : public KeyValueCoding {
public:
    static std::shared_ptr<UserDefaultsController> shared();

    UserDefaultsController();
    // "values": the settings as an object whose keys are the settings' keys.
    KeyValue valueForKey(std::string_view key) const override;
    Token addKeyObserver(std::string, ChangeHandler) override { return 0; }  // "values" itself never changes
    void removeKeyObserver(Token) override {}

private:
    std::shared_ptr<KeyValueCoding> values_;
};

}  // namespace platform::appkit
