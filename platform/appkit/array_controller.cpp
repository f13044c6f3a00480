#include "platform/appkit/array_controller.hpp"

#include <algorithm>

namespace platform::appkit {

bool ArrayController::selectsInsertedObjects() const {
    std::lock_guard lock(mutex_);
    return selectsInsertedObjects_;
}

void ArrayController::setSelectsInsertedObjects(bool selects) {
    std::lock_guard lock(mutex_);
    selectsInsertedObjects_ = selects;
}

std::vector<ArrayController::Element> ArrayController::arrangedObjects() const {
    std::lock_guard lock(mutex_);
    return objects_;
}

std::size_t ArrayController::count() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

void ArrayController::addObject(Element object) { addObjects({std::move(object)}); }

void ArrayController::addObjects(const std::vector<Element>& objects) {
    if (objects.empty()) return;
    bool selectionChanged = false;
    {
        std::lock_guard lock(mutex_);
        const std::size_t first = objects_.size();
        objects_.insert(objects_.end(), objects.begin(), objects.end());
        if (selectsInsertedObjects_) {
            selection_.clear();
            for (std::size_t i = first; i < objects_.size(); ++i) selection_.insert(i);
            selectionChanged = true;
        }
    }
    notify(true, selectionChanged);
}

void ArrayController::insertObject(Element object, std::size_t index) {
    bool selectionChanged = false;
    {
        std::lock_guard lock(mutex_);
        index = std::min(index, objects_.size());
        objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(index), std::move(object));
        std::set<std::size_t> shifted;
        for (auto i : selection_) shifted.insert(i >= index ? i + 1 : i);
        if (selectsInsertedObjects_) shifted = {index};
        selectionChanged = shifted != selection_ || selectsInsertedObjects_;
        selection_ = std::move(shifted);
    }
    notify(true, selectionChanged);
}

void ArrayController::removeObjects(const std::vector<Element>& objects) {
    bool changed = false;
    bool selectionChanged = false;
    {
        std::lock_guard lock(mutex_);
        std::vector<Element> kept;
        std::set<std::size_t> selection;
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            if (std::find(objects.begin(), objects.end(), objects_[i]) != objects.end()) {
                changed = true;
                if (selection_.count(i)) selectionChanged = true;
                continue;
            }
            if (selection_.count(i)) selection.insert(kept.size());
            kept.push_back(objects_[i]);
        }
        objects_ = std::move(kept);
        selection_ = std::move(selection);
    }
    if (changed) notify(true, selectionChanged);
}

void ArrayController::removeAllObjects() {
    bool selectionChanged = false;
    {
        std::lock_guard lock(mutex_);
        if (objects_.empty()) return;
        selectionChanged = !selection_.empty();
        objects_.clear();
        selection_.clear();
    }
    notify(true, selectionChanged);
}

void ArrayController::moveObject(std::size_t from, std::size_t to) {
    {
        std::lock_guard lock(mutex_);
        // A move to the same index changes nothing but is still one replacement of the
        // content: observers re-read it (a list that was reordered by a drag re-stacks).
        if (from >= objects_.size() || to >= objects_.size()) return;
        std::vector<Element> selected;
        for (auto i : selection_) selected.push_back(objects_[i]);
        Element moving = objects_[from];
        objects_.erase(objects_.begin() + static_cast<std::ptrdiff_t>(from));
        objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(to), std::move(moving));
        selection_.clear();
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            if (std::find(selected.begin(), selected.end(), objects_[i]) != selected.end()) selection_.insert(i);
        }
    }
    notify(true, true);
}

std::set<std::size_t> ArrayController::selectionIndexes() const {
    std::lock_guard lock(mutex_);
    return selection_;
}

bool ArrayController::setSelectionIndexes(std::set<std::size_t> indexes) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(indexes, [&](std::size_t i) { return i >= objects_.size(); });
        selection_ = std::move(indexes);
    }
    notify(false, true);
    return true;
}

std::vector<ArrayController::Element> ArrayController::selectedObjects() const {
    std::lock_guard lock(mutex_);
    std::vector<Element> result;
    for (auto i : selection_) result.push_back(objects_[i]);
    return result;
}

bool ArrayController::setSelectedObjects(const std::vector<Element>& objects) {
    std::set<std::size_t> indexes;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            if (std::find(objects.begin(), objects.end(), objects_[i]) != objects.end()) indexes.insert(i);
        }
    }
    return setSelectionIndexes(std::move(indexes));
}

ArrayController::Token ArrayController::addObserver(Key key, Handler handler) {
    std::lock_guard lock(mutex_);
    const Token token = nextToken_++;
    observers_.push_back(Observer{token, key, std::make_shared<Handler>(std::move(handler))});
    return token;
}

void ArrayController::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [token](const Observer& o) { return o.token == token; });
}

void ArrayController::notify(bool arranged, bool selection) {
    // The selection is announced before the list, as the platform's controller does
    // when inserted objects become the selection.
    for (Key key : {Key::selectedObjects, Key::arrangedObjects}) {
        if (key == Key::selectedObjects && !selection) continue;
        if (key == Key::arrangedObjects && !arranged) continue;
        std::vector<std::pair<Token, std::shared_ptr<Handler>>> handlers;
        {
            std::lock_guard lock(mutex_);
            for (const auto& o : observers_) {
                if (o.key == key) handlers.emplace_back(o.token, o.handler);
            }
        }
        for (const auto& [token, handler] : handlers) {
            bool stillObserving = false;
            {
                std::lock_guard lock(mutex_);
                stillObserving = std::any_of(observers_.begin(), observers_.end(),
                                             [t = token](const Observer& o) { return o.token == t; });
            }
            if (stillObserving) (*handler)();
        }
    }
}

}  // namespace platform::appkit

namespace platform::appkit {

ArrayController::ArrayController(std::vector<Element> content) : objects_(std::move(content)) {}

void ArrayController::setContent(std::vector<Element> content) {
    {
        std::lock_guard lock(mutex_);
        std::vector<Element> selected;
        for (auto i : selection_) selected.push_back(objects_[i]);
        objects_ = std::move(content);
        selection_.clear();
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            if (std::find(selected.begin(), selected.end(), objects_[i]) != selected.end()) selection_.insert(i);
        }
    }
    notify(true, true);
}

void ArrayController::selectAll() {
    std::set<std::size_t> all;
    for (std::size_t i = 0, n = count(); i < n; ++i) all.insert(i);
    setSelectionIndexes(std::move(all));
}

std::size_t ArrayController::observerCount() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

KeyValue ArrayController::valueForKey(std::string_view key) const {
    if (key == "selectionIndex") {
        auto indexes = selectionIndexes();
        return indexes.empty() ? std::int64_t{-1} : static_cast<std::int64_t>(*indexes.begin());
    }
    if (key == "selectionIndexes") {
        KeyValue::IntegerSet set;
        for (auto i : selectionIndexes()) set.insert(static_cast<std::int64_t>(i));
        return set;
    }
    return {};
}

bool ArrayController::setValueForKey(std::string_view key, const KeyValue& value) {
    if (key == "selectionIndex") {
        auto index = value.integerValue();
        if (!value.isNumber() || index < 0) return setSelectionIndexes({});
        return setSelectionIndexes({static_cast<std::size_t>(index)});
    }
    if (key == "selectionIndexes") {
        auto set = value.integerSet();
        if (!set) return false;
        std::set<std::size_t> indexes;
        for (auto i : *set) {
            if (i >= 0) indexes.insert(static_cast<std::size_t>(i));
        }
        return setSelectionIndexes(std::move(indexes));
    }
    return false;
}

KeyValueCoding::Token ArrayController::addKeyObserver(std::string key, ChangeHandler handler) {
    const bool list = key == "arrangedObjects" || key == "content";
    return addObserver(list ? Key::arrangedObjects : Key::selectedObjects, std::move(handler));
}

std::optional<std::vector<std::shared_ptr<KeyValueCoding>>> ArrayController::objectsForKey(std::string_view key) const {
    std::vector<Element> elements;
    if (key == "selection" || key == "selectedObjects") {
        elements = selectedObjects();
    } else if (key == "arrangedObjects") {
        elements = arrangedObjects();
    } else {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<KeyValueCoding>> objects;
    objects.reserve(elements.size());
    for (auto& element : elements) objects.push_back(std::move(element.coding));
    return objects;
}

}  // namespace platform::appkit
