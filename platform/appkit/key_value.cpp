#include "platform/appkit/key_value.hpp"

#include "platform/appkit/number_formatter.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace platform::appkit {

namespace {

// The leading number of a text, as the platform's string reading does: "2.5" 2.5,
// " 3px" 3, "abc" 0. `complete` tells whether the whole text was the number.
double leadingNumber(const std::string& text, bool* complete = nullptr) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) {
        if (complete) *complete = false;
        return 0;
    }
    if (complete) {
        while (*end == ' ' || *end == '\t') ++end;
        *complete = *end == '\0';
    }
    return value;
}

std::pair<std::string_view, std::string_view> splitFirst(std::string_view path) {
    auto dot = path.find('.');
    if (dot == std::string_view::npos) return {path, {}};
    return {path.substr(0, dot), path.substr(dot + 1)};
}

}  // namespace

bool KeyValue::isNumber() const {
    if (std::holds_alternative<bool>(storage_) || std::holds_alternative<std::int64_t>(storage_) ||
        std::holds_alternative<double>(storage_))
        return true;
    if (auto* text = std::get_if<std::string>(&storage_)) {
        bool complete = false;
        leadingNumber(*text, &complete);
        return complete;
    }
    return false;
}

double KeyValue::doubleValue() const {
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? 1 : 0;
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&storage_)) return *d;
    if (auto* s = std::get_if<std::string>(&storage_)) return leadingNumber(*s);
    return 0;
}

std::int64_t KeyValue::integerValue() const {
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
    double d = doubleValue();
    if (!(d > static_cast<double>(std::numeric_limits<std::int64_t>::min()) &&
          d < static_cast<double>(std::numeric_limits<std::int64_t>::max())))
        return 0;
    return static_cast<std::int64_t>(d);
}

bool KeyValue::boolValue() const {
    if (auto* b = std::get_if<bool>(&storage_)) return *b;
    if (auto* s = std::get_if<std::string>(&storage_)) {
        if (*s == "YES" || *s == "yes" || *s == "true" || *s == "Y" || *s == "y" || *s == "T" || *s == "t") return true;
    }
    return doubleValue() != 0;
}

std::string KeyValue::stringValue() const {
    if (auto* s = std::get_if<std::string>(&storage_)) return *s;
    if (auto* b = std::get_if<bool>(&storage_)) return *b ? "1" : "0";
    if (auto* i = std::get_if<std::int64_t>(&storage_)) return std::to_string(*i);
    // As the platform's number describes itself: exact, but never as "4e+02".
    if (auto* d = std::get_if<double>(&storage_)) return plainDecimal(*d);
    return {};
}

const std::optional<KeyValue::IntegerSet> KeyValue::integerSet() const {
    if (auto* set = std::get_if<IntegerSet>(&storage_)) return *set;
    return std::nullopt;
}

std::optional<graphics::Color> KeyValue::color() const {
    if (auto* c = std::get_if<graphics::Color>(&storage_)) return *c;
    return std::nullopt;
}

graphics::ImagePtr KeyValue::image() const {
    if (auto* i = std::get_if<graphics::ImagePtr>(&storage_)) return *i;
    return nullptr;
}

KeyValue::ObjectPtr KeyValue::object() const {
    if (auto* o = std::get_if<ObjectPtr>(&storage_)) return *o;
    return nullptr;
}

KeyValue KeyValueCoding::valueForKey(std::string_view) const { return {}; }

bool KeyValueCoding::setValueForKey(std::string_view, const KeyValue&) { return false; }

KeyValue valueForKeyPath(const KeyValueCoding& root, std::string_view keyPath) {
    auto [key, rest] = splitFirst(keyPath);
    if (auto objects = root.objectsForKey(key); objects && !rest.empty()) {
        if (objects->empty()) return KeyValue::noSelection();
        std::optional<KeyValue> common;
        for (const auto& object : *objects) {
            KeyValue value = object ? valueForKeyPath(*object, rest) : KeyValue();
            if (!common) {
                common = std::move(value);
            } else if (!(*common == value)) {
                return KeyValue::multipleValues();
            }
        }
        return *common;
    }
    KeyValue value = root.valueForKey(key);
    if (rest.empty()) return value;
    auto object = value.object();
    return object ? valueForKeyPath(*object, rest) : KeyValue();
}

bool setValueForKeyPath(KeyValueCoding& root, std::string_view keyPath, const KeyValue& value) {
    auto [key, rest] = splitFirst(keyPath);
    if (auto objects = root.objectsForKey(key); objects && !rest.empty()) {
        bool wrote = false;
        for (const auto& object : *objects) {
            if (object && setValueForKeyPath(*object, rest, value)) wrote = true;
        }
        return wrote;
    }
    if (rest.empty()) return root.setValueForKey(key, value);
    auto object = root.valueForKey(key).object();
    return object && setValueForKeyPath(*object, rest, value);
}

// One step of an observed path: the observer of `key` on `object`, and the steps for
// the rest of the path on whatever `key` leads to now.
struct KeyPathObservation::Node : std::enable_shared_from_this<Node> {
    std::weak_ptr<KeyValueCoding> object;
    std::string key;
    std::string rest;
    std::shared_ptr<KeyValueCoding::ChangeHandler> handler;

    std::mutex mutex;
    KeyValueCoding::Token token = 0;
    bool stopped = false;
    std::vector<std::shared_ptr<Node>> children;

    void start() {
        auto target = object.lock();
        if (!target) return;
        std::weak_ptr<Node> weakSelf = weak_from_this();
        auto added = target->addKeyObserver(key, [weakSelf] {
            auto self = weakSelf.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->mutex);
                if (self->stopped) return;
            }
            self->rebuildChildren();
            (*self->handler)();
        });
        {
            std::lock_guard lock(mutex);
            token = added;
        }
        rebuildChildren();
    }

    void rebuildChildren() {
        std::vector<std::shared_ptr<Node>> old;
        {
            std::lock_guard lock(mutex);
            old.swap(children);
        }
        for (auto& child : old) child->stop();
        if (rest.empty()) return;
        auto target = object.lock();
        if (!target) return;
        std::vector<std::shared_ptr<KeyValueCoding>> next;
        if (auto objects = target->objectsForKey(key)) {
            next = std::move(*objects);
        } else if (auto value = target->valueForKey(key).object()) {
            next.push_back(std::move(value));
        }
        auto [childKey, childRest] = splitFirst(rest);
        std::vector<std::shared_ptr<Node>> made;
        for (auto& nextObject : next) {
            if (!nextObject) continue;
            auto child = std::make_shared<Node>();
            child->object = nextObject;
            child->key = std::string(childKey);
            child->rest = std::string(childRest);
            child->handler = handler;
            child->start();
            made.push_back(std::move(child));
        }
        std::lock_guard lock(mutex);
        if (stopped) {
            for (auto& child : made) child->stop();
            return;
        }
        children = std::move(made);
    }

    void stop() {
        std::vector<std::shared_ptr<Node>> old;
        KeyValueCoding::Token removed = 0;
        {
            std::lock_guard lock(mutex);
            stopped = true;
            old.swap(children);
            std::swap(removed, token);
        }
        for (auto& child : old) child->stop();
        if (removed != 0) {
            if (auto target = object.lock()) target->removeKeyObserver(removed);
        }
    }
};

KeyPathObservation::KeyPathObservation(const std::shared_ptr<KeyValueCoding>& root, std::string keyPath,
                                       KeyValueCoding::ChangeHandler handler)
    : keyPath_(std::move(keyPath)), node_(std::make_shared<Node>()) {
    auto [key, rest] = splitFirst(keyPath_);
    node_->object = root;
    node_->key = std::string(key);
    node_->rest = std::string(rest);
    node_->handler = std::make_shared<KeyValueCoding::ChangeHandler>(std::move(handler));
    node_->start();
}

KeyPathObservation::~KeyPathObservation() { node_->stop(); }

}  // namespace platform::appkit
