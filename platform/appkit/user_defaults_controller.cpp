#include "platform/appkit/user_defaults_controller.hpp"

#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/user_defaults.hpp"

namespace platform::appkit {

namespace {

using foundation::UserDefaults;

class SettingsValues : public KeyValueCoding {
public:
    KeyValue valueForKey(std::string_view key) const override {
        auto value = UserDefaults::standard().objectForKey(key);
        if (auto b = value.asBool()) return *b;
        if (auto i = value.asInteger()) return *i;
        if (auto d = value.asDouble()) return *d;
        if (auto s = value.asString()) return *s;
        if (auto array = value.asArray()) {
            KeyValue::IntegerSet set;
            for (const auto& item : *array) {
                auto i = item.asInteger();
                if (!i) return {};
                set.insert(*i);
            }
            return set;
        }
        return {};
    }

    bool setValueForKey(std::string_view key, const KeyValue& value) override {
        auto& defaults = UserDefaults::standard();
        const auto& storage = value.storage();
        if (auto b = std::get_if<bool>(&storage)) {
            defaults.setObject(foundation::Value(*b), key);
        } else if (auto i = std::get_if<std::int64_t>(&storage)) {
            defaults.setObject(foundation::Value(*i), key);
        } else if (auto d = std::get_if<double>(&storage)) {
            defaults.setObject(foundation::Value(*d), key);
        } else if (auto s = std::get_if<std::string>(&storage)) {
            defaults.setObject(foundation::Value(*s), key);
        } else if (value.isNil()) {
            defaults.removeObject(key);
        } else {
            return false;  // markers, colours, pictures and objects are not settings
        }
        return true;
    }

    Token addKeyObserver(std::string, ChangeHandler handler) override {
        return foundation::NotificationCenter::defaultCenter().addObserver(
            std::string(UserDefaults::didChangeNotification), nullptr,
            [handler = std::move(handler)](const foundation::Notification&) { handler(); });
    }
    void removeKeyObserver(Token token) override { foundation::NotificationCenter::defaultCenter().removeObserver(token); }
};

}  // namespace

std::shared_ptr<UserDefaultsController> UserDefaultsController::shared() {
    static auto controller = std::make_shared<UserDefaultsController>();
    return controller;
}

UserDefaultsController::UserDefaultsController() : values_(std::make_shared<SettingsValues>()) {}

KeyValue UserDefaultsController::valueForKey(std::string_view key) const {
    if (key == "values") return KeyValue(values_);
    return {};
}

}  // namespace platform::appkit
