#pragma once
// Stands in for the platform's array controller: an ordered list of shared objects, the
// indexes of the selected ones, and observers told of changes to either. The list holds
// objects of any type; each element remembers its type, so a reader can ask for the
// whole list as one type and learn when that is not possible.
//
// Observers are told on the thread that made the change, after the controller's own
// lock is released, so a handler may read or change the controller again.
//
// Bindings reach the objects through key paths: "selection.<path>" reads the common
// value of the selected objects (or a marker) and writes all of them,
// "arrangedObjects.<path>" does the same for every object, "selectionIndex" is the
// first selected index (-1 for none). Objects that offer key-value coding take part;
// others read as nil.
#include "platform/appkit/key_value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

namespace platform::appkit {

class ArrayController : public KeyValueCoding {
public:
    // One arranged object with its dynamic type.
    struct Element {
        std::shared_ptr<void> object;
        std::type_index type = typeid(void);
        // The same object as seen by bindings; null when it offers no key-value coding.
        std::shared_ptr<KeyValueCoding> coding;

        template <class T>
        static Element of(std::shared_ptr<T> value) {
            std::shared_ptr<KeyValueCoding> coding;
            if constexpr (std::is_base_of_v<KeyValueCoding, T>) coding = value;
            return Element{std::static_pointer_cast<void>(std::move(value)), std::type_index(typeid(T)),
                           std::move(coding)};
        }
        template <class T>
        std::shared_ptr<T> as() const {
            return type == std::type_index(typeid(T)) ? std::static_pointer_cast<T>(object) : nullptr;
        }
        friend bool operator==(const Element& a, const Element& b) { return a.object == b.object; }
    };

    // What changed. Observers of `arrangedObjects` are told after every change of the
    // list, observers of `selectedObjects` after every change of the selection (also one
    // that follows from a change of the list).
    enum class Key { arrangedObjects, selectedObjects };
    using Token = std::uint64_t;
    using Handler = std::function<void()>;

    ArrayController() = default;
    explicit ArrayController(std::vector<Element> content);
    ArrayController(const ArrayController&) = delete;
    ArrayController& operator=(const ArrayController&) = delete;

    // When on (the default), objects added become the selection.
    bool selectsInsertedObjects() const;
    void setSelectsInsertedObjects(bool selects);

    std::vector<Element> arrangedObjects() const;
    std::size_t count() const;
    // The arranged objects as one type; none when any of them has another type.
    template <class T>
    std::optional<std::vector<std::shared_ptr<T>>> arrangedObjectsAs() const {
        return castAll<T>(arrangedObjects());
    }

    // Appends, in order. An empty list changes nothing and tells no one.
    void addObject(Element object);
    void addObjects(const std::vector<Element>& objects);
    template <class T>
    void addObject(std::shared_ptr<T> object) {
        addObject(Element::of(std::move(object)));
    }
    // Inserts before the arranged index; an index past the end appends.
    void insertObject(Element object, std::size_t index);
    template <class T>
    void insertObject(std::shared_ptr<T> object, std::size_t index) {
        insertObject(Element::of(std::move(object)), index);
    }
    // Removes every arranged occurrence of each object (compared by identity).
    void removeObjects(const std::vector<Element>& objects);
    void removeAllObjects();
    // Replaces the list; the objects that stay keep their selection.
    void setContent(std::vector<Element> content);
    // Selects every arranged object.
    void selectAll();
    // Moves one object; the selection follows the objects it named. Observers are told
    // even when the object stays where it was.
    void moveObject(std::size_t from, std::size_t to);

    std::set<std::size_t> selectionIndexes() const;
    // Indexes past the end are dropped. Returns whether the selection was taken.
    bool setSelectionIndexes(std::set<std::size_t> indexes);
    std::vector<Element> selectedObjects() const;
    template <class T>
    std::optional<std::vector<std::shared_ptr<T>>> selectedObjectsAs() const {
        return castAll<T>(selectedObjects());
    }
    // Selects the arranged objects among `objects`; the others are ignored.
    bool setSelectedObjects(const std::vector<Element>& objects);

    Token addObserver(Key key, Handler handler);
    void removeObserver(Token token);
    std::size_t observerCount() const;

    // KeyValueCoding: "selectionIndex" (read and write), "selectionIndexes" and
    // "selection" / "arrangedObjects" as collection keys.
    KeyValue valueForKey(std::string_view key) const override;
    bool setValueForKey(std::string_view key, const KeyValue& value) override;
    Token addKeyObserver(std::string key, ChangeHandler handler) override;
    void removeKeyObserver(Token token) override { removeObserver(token); }
    std::optional<std::vector<std::shared_ptr<KeyValueCoding>>> objectsForKey(std::string_view key) const override;

private:
    template <class T>
    static std::optional<std::vector<std::shared_ptr<T>>> castAll(const std::vector<Element>& elements) {
        std::vector<std::shared_ptr<T>> result;
        result.reserve(elements.size());
        for (const auto& element : elements) {
            auto typed = element.template as<T>();
            if (!typed) return std::nullopt;
            result.push_back(std::move(typed));
        }
        return result;
    }
    void notify(bool arranged, bool selection);

    struct Observer {
        Token token;
        Key key;
        std::shared_ptr<Handler> handler;
    };

    mutable std::mutex mutex_;
    std::vector<Element> objects_;
    std::set<std::size_t> selection_;
    bool selectsInsertedObjects_ = true;
    std::vector<Observer> observers_;
    Token nextToken_ = 1;
};

}  // namespace platform::appkit
