#pragma once
// A program's interface as assistive tools (screen readers) see it: the accessibility bus
// of a test's own desktop (at-spi), read over D-Bus. Each element carries its role, its
// accessible name, its description (the tooltip, when it has no description of its own),
// the text it holds, where it is on the screen and whether it is showing and enabled.
// What a test finds here is what a user's screen reader would read out.
#include "support/desktop/x11_session.hpp"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gwtest::x11 {

struct AccessibleElement {
    std::string role;  // at-spi's role name: "push button", "check box", "text", "label", ...
    std::string name;
    std::string description;
    std::string text;  // what a text element holds ("" for others)
    WindowGeometry extents;  // on the screen
    bool showing = false;
    bool enabled = false;
    std::vector<AccessibleElement> children;

    // The first element of this subtree (itself included, depth first) that matches.
    const AccessibleElement* find(const std::function<bool(const AccessibleElement&)>& match) const;
    // Every element of this subtree that matches, depth first.
    std::vector<const AccessibleElement*> findAll(const std::function<bool(const AccessibleElement&)>& match) const;
};

class AccessibilityBus {
public:
    // Asks the session bus at `sessionBusAddress` for the accessibility bus and connects
    // to it; check connected() (failure() says why not).
    explicit AccessibilityBus(const std::string& sessionBusAddress);
    ~AccessibilityBus();
    AccessibilityBus(const AccessibilityBus&) = delete;
    AccessibilityBus& operator=(const AccessibilityBus&) = delete;

    bool connected() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    // What of a window's tree is read: all of it, or what is showing (the subtree of an
    // element that is not showing is left out: nothing in it shows, and a window's closed
    // menus, read item by item over the bus, are most of its tree).
    enum class Elements { All, Showing };
    // The top-level windows of the program with that process id, each with its subtree;
    // none while the program has not registered itself.
    std::vector<AccessibleElement> windowsOf(pid_t pid, Elements which = Elements::All) const;

    // Where an element lives on the bus: its program's bus name and its path.
    struct ElementReference {
        std::string busName;
        std::string path;
    };

private:
    std::vector<ElementReference> windowReferences(pid_t pid) const;

    struct Connection;
    std::unique_ptr<Connection> connection_;
    std::string failure_;
};

}  // namespace gwtest::x11
