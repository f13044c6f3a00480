#pragma once
// Named device properties a host sends to the back end, and the log that carries them.
// A property is a string, a number, a boolean, a date, or the clear marker (a null value)
// that asks the back end to forget it.
#include "telemetry/core/rddi_abstract_log.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace rddi {

class RDDICustomProperties {
public:
    static constexpr std::size_t kMaxProperties = 60;
    static constexpr std::size_t kMaxKeyLength = 128;
    static constexpr std::size_t kMaxStringValueLength = 128;
    static constexpr const char* kKeyPattern = "^[a-zA-Z][a-zA-Z0-9]*$";

    // Every setter answers the receiver, so calls chain; a refused key or value is
    // logged and leaves the properties as they were.
    RDDICustomProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    // Integers and reals; a boolean goes through setBool so that it is sent as one.
    RDDICustomProperties& setNumber(const platform::foundation::Value& number, const std::optional<std::string>& key);
    RDDICustomProperties& setBool(bool value, const std::optional<std::string>& key);
    RDDICustomProperties& setDate(const std::optional<platform::foundation::Date>& value,
                                  const std::optional<std::string>& key);
    // A null value is refused: clearing goes through clearPropertyForKey.
    RDDICustomProperties& setObject(const platform::foundation::Value& value, const std::optional<std::string>& key);
    RDDICustomProperties& clearPropertyForKey(const std::optional<std::string>& key);

    platform::foundation::Dictionary propertiesImmutableCopy() const;

    // Both log their refusals, naming the setter refused; a key already present is
    // accepted with a warning.
    bool isValidKey(const std::optional<std::string>& key, std::string_view setter) const;
    static bool isValidValue(const platform::foundation::Value& value, std::string_view setter);

private:
    RDDICustomProperties& setValue(const char* setter, const platform::foundation::Value& value,
                                   const std::optional<std::string>& key);

    mutable std::recursive_mutex lock_;
    platform::foundation::Dictionary properties_;
};

class RDDICustomPropertiesLog final : public RDDIAbstractLog {
public:
    RDDICustomPropertiesLog() { type = "customProperties"; }
    // The type is stored under "customProperties"; a cleared property under an explicit
    // marker, since property lists have no null.
    explicit RDDICustomPropertiesLog(const platform::foundation::KeyedUnarchiver& unarchiver);
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    std::string className() const override { return "RDDICustomPropertiesLog"; }

    // The base keys plus "properties": one object per property with its "name", "type"
    // and, unless it is cleared, "value".
    platform::foundation::Dictionary serializeToDictionary() const override;
    // None for a value kind the back end does not know.
    static std::optional<platform::foundation::Dictionary> serializeProperty(const platform::foundation::Value& value);
    bool isValid() const override;
    bool isEqual(const RDDIAbstractLog& other) const override;

    std::optional<platform::foundation::Dictionary> properties;
};

}  // namespace rddi
