#pragma once
// A named value with an explicit type, as event properties carry them.
#include "platform/foundation/date.hpp"
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace rddi {

class RDDITypedProperty : public platform::foundation::Archivable {
public:
    // "type" and "name"; the subclass adds "value".
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    // "type", "name" (each when set) and the subclass's "value".
    virtual platform::foundation::Dictionary serializeToDictionary() const;
    // Same type text and equal values; names are not compared.
    virtual bool isEqual(const RDDITypedProperty& other) const;
    virtual std::shared_ptr<RDDITypedProperty> copy() const = 0;

    std::optional<std::string> type;
    std::optional<std::string> name;

protected:
    explicit RDDITypedProperty(std::string typeText) : type(std::move(typeText)) {}
    // Reads "type" and "name"; a stored type other than `typeText` is refused.
    RDDITypedProperty(std::string typeText, const platform::foundation::KeyedUnarchiver& unarchiver);
};

class RDDIStringTypedProperty final : public RDDITypedProperty {
public:
    RDDIStringTypedProperty() : RDDITypedProperty("string") {}
    explicit RDDIStringTypedProperty(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIStringTypedProperty"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDITypedProperty& other) const override;
    std::shared_ptr<RDDITypedProperty> copy() const override { return std::make_shared<RDDIStringTypedProperty>(*this); }
    std::optional<std::string> value;
};

class RDDIBooleanTypedProperty final : public RDDITypedProperty {
public:
    RDDIBooleanTypedProperty() : RDDITypedProperty("boolean") {}
    explicit RDDIBooleanTypedProperty(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIBooleanTypedProperty"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDITypedProperty& other) const override;
    std::shared_ptr<RDDITypedProperty> copy() const override { return std::make_shared<RDDIBooleanTypedProperty>(*this); }
    bool value = false;
};

class RDDILongTypedProperty final : public RDDITypedProperty {
public:
    RDDILongTypedProperty() : RDDITypedProperty("long") {}
    explicit RDDILongTypedProperty(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDILongTypedProperty"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDITypedProperty& other) const override;
    std::shared_ptr<RDDITypedProperty> copy() const override { return std::make_shared<RDDILongTypedProperty>(*this); }
    std::int64_t value = 0;
};

class RDDIDoubleTypedProperty final : public RDDITypedProperty {
public:
    RDDIDoubleTypedProperty() : RDDITypedProperty("double") {}
    explicit RDDIDoubleTypedProperty(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIDoubleTypedProperty"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDITypedProperty& other) const override;
    std::shared_ptr<RDDITypedProperty> copy() const override { return std::make_shared<RDDIDoubleTypedProperty>(*this); }
    double value = 0;
};

class RDDIDateTimeTypedProperty final : public RDDITypedProperty {
public:
    RDDIDateTimeTypedProperty() : RDDITypedProperty("dateTime") {}
    explicit RDDIDateTimeTypedProperty(const platform::foundation::KeyedUnarchiver& unarchiver);
    std::string archiveClassName() const override { return "RDDIDateTimeTypedProperty"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;
    platform::foundation::Dictionary serializeToDictionary() const override;
    bool isEqual(const RDDITypedProperty& other) const override;
    std::shared_ptr<RDDITypedProperty> copy() const override { return std::make_shared<RDDIDateTimeTypedProperty>(*this); }
    std::optional<platform::foundation::Date> value;
};

}  // namespace rddi
