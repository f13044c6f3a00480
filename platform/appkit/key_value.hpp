#pragma once
// Stands in for the platform's key-value coding: one dynamic value type that bound
// controls and the objects they edit exchange, the two selection markers, and the
// interface an object offers to be read, written and observed by key.
#include "platform/graphics/color.hpp"
#include "platform/graphics/image.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::appkit {

class KeyValueCoding;

// The two values a controller's selection gives instead of a value.
enum class SelectionMarker { noSelection, multipleValues };

class KeyValue {
public:
    using ObjectPtr = std::shared_ptr<KeyValueCoding>;
    using IntegerSet = std::set<std::int64_t>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, IntegerSet,
                                 graphics::Color, graphics::ImagePtr, ObjectPtr, SelectionMarker>;

    KeyValue() = default;
    KeyValue(bool value) : storage_(value) {}                        // NOLINT(google-explicit-constructor)
    KeyValue(int value) : storage_(std::int64_t{value}) {}          // NOLINT(google-explicit-constructor)
    KeyValue(std::int64_t value) : storage_(value) {}               // NOLINT(google-explicit-constructor)
    KeyValue(double value) : storage_(value) {}                     // NOLINT(google-explicit-constructor)
    KeyValue(float value) : storage_(double{value}) {}              // NOLINT(google-explicit-constructor)
    KeyValue(std::string value) : storage_(std::move(value)) {}     // NOLINT(google-explicit-constructor)
    KeyValue(const char* value) : storage_(std::string(value)) {}   // NOLINT(google-explicit-constructor)
    KeyValue(IntegerSet value) : storage_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
    KeyValue(graphics::Color value) : storage_(std::move(value)) {} // NOLINT(google-explicit-constructor)
    KeyValue(graphics::ImagePtr value)  // NOLINT(google-explicit-constructor)
        : storage_(value ? Storage(std::in_place_type<graphics::ImagePtr>, std::move(value)) : Storage()) {}
    KeyValue(ObjectPtr value)  // NOLINT(google-explicit-constructor)
        : storage_(value ? Storage(std::in_place_type<ObjectPtr>, std::move(value)) : Storage()) {}
    KeyValue(SelectionMarker marker) : storage_(marker) {}  // NOLINT(google-explicit-constructor)
    template <class T>
        requires std::is_base_of_v<KeyValueCoding, T>
    KeyValue(std::shared_ptr<T> value) : KeyValue(ObjectPtr(std::move(value))) {}  // NOLINT

    static KeyValue noSelection() { return SelectionMarker::noSelection; }
    static KeyValue multipleValues() { return SelectionMarker::multipleValues; }

    bool isNil() const { return std::holds_alternative<std::monostate>(storage_); }
    bool isMarker() const { return std::holds_alternative<SelectionMarker>(storage_); }
    bool isNoSelection() const { return isMarker() && std::get<SelectionMarker>(storage_) == SelectionMarker::noSelection; }
    bool isMultipleValues() const {
        return isMarker() && std::get<SelectionMarker>(storage_) == SelectionMarker::multipleValues;
    }
    // Booleans and integers and doubles; numeric text counts as a number too, as a
    // text field writes one.
    bool isNumber() const;
    bool isString() const { return std::holds_alternative<std::string>(storage_); }

    // The readings of the platform's number and string values: 0 / false / empty when
    // the value is not of that kind; text is read as far as it is a number ("abc" 0).
    double doubleValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    std::int64_t integerValue() const;
    bool boolValue() const;
    std::string stringValue() const;

    const std::optional<IntegerSet> integerSet() const;
    std::optional<graphics::Color> color() const;
    graphics::ImagePtr image() const;
    ObjectPtr object() const;

    const Storage& storage() const { return storage_; }
    // Equal by kind and value; images and objects by identity.
    friend bool operator==(const KeyValue& a, const KeyValue& b) { return a.storage_ == b.storage_; }

private:
    Storage storage_;
};

// What an object offers to bindings: reading and writing by key, and being told when
// a key changes. A collection (the array controller) also fans a key out to the
// objects it stands for ("selection", "arrangedObjects").
class KeyValueCoding {
public:
    using Token = std::uint64_t;
    using ChangeHandler = std::function<void()>;

    virtual ~KeyValueCoding() = default;

    // Nil for an unknown key.
    virtual KeyValue valueForKey(std::string_view key) const;
    // False (nothing stored) for an unknown key or a value of the wrong kind.
    virtual bool setValueForKey(std::string_view key, const KeyValue& value);

    // The handler runs after every change of `key`, on the changing thread.
    virtual Token addKeyObserver(std::string key, ChangeHandler handler) = 0;
    virtual void removeKeyObserver(Token token) = 0;

    // For a collection: the objects `key` stands for, else none.
    virtual std::optional<std::vector<std::shared_ptr<KeyValueCoding>>> objectsForKey(std::string_view) const {
        return std::nullopt;
    }
};

// A dotted path read from `root`. Through a collection key the values of the objects
// are merged: the no-selection marker for none, the common value when all are equal,
// else the multiple-values marker. A step through anything but an object gives nil.
KeyValue valueForKeyPath(const KeyValueCoding& root, std::string_view keyPath);
// Writes every object a collection key stands for. False when nothing was written.
bool setValueForKeyPath(KeyValueCoding& root, std::string_view keyPath, const KeyValue& value);

// An observation of a dotted path that follows the path: when an object along it is
// replaced (or a collection's objects change), the observers of the old objects are
// removed and the new ones observed. It keeps nothing alive; destroying it removes
// every observer it added.
class KeyPathObservation {
public:
    KeyPathObservation(const std::shared_ptr<KeyValueCoding>& root, std::string keyPath,
                       KeyValueCoding::ChangeHandler handler);
    ~KeyPathObservation();
    KeyPathObservation(const KeyPathObservation&) = delete;
    KeyPathObservation& operator=(const KeyPathObservation&) = delete;

    const std::string& keyPath() const { return keyPath_; }
    struct Node;

private:
    std::string keyPath_;
    std::shared_ptr<Node> node_;
};

}  // namespace platform::appkit
