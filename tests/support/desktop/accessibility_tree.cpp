#include "support/desktop/accessibility_tree.hpp"

#include <gio/gio.h>

#include <utility>

namespace gwtest::x11 {

using Reference = AccessibilityBus::ElementReference;

namespace {

constexpr int kCallTimeoutMs = 20000;
constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
// Bits of at-spi's state set.
constexpr int kStateEnabled = 8;
constexpr int kStateShowing = 25;
// Deeper than any window of ours; a guard against a cycle in a faulty tree.
constexpr int kMaxDepth = 40;

struct VariantDeleter {
    void operator()(GVariant* v) const {
        if (v) g_variant_unref(v);
    }
};
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

}  // namespace

struct AccessibilityBus::Connection {
    GDBusConnection* bus = nullptr;
    ~Connection() {
        if (bus) g_object_unref(bus);
    }

    Variant call(const Reference& at, const char* interface, const char* method, GVariant* arguments,
                 const char* replyType) const {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, at.busName.c_str(), at.path.c_str(), interface, method,
                                                      arguments, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
                                                      kCallTimeoutMs, nullptr, &error);
        if (error) g_error_free(error);
        return Variant(reply);
    }

    std::string stringProperty(const Reference& at, const char* name) const {
        auto reply = call(at, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", kAccessible, name), "(v)");
        if (!reply) return {};
        GVariant* boxed = nullptr;
        g_variant_get(reply.get(), "(v)", &boxed);
        Variant value(boxed);
        return g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING) ? g_variant_get_string(value.get(), nullptr)
                                                                        : std::string();
    }

    std::vector<Reference> children(const Reference& at) const {
        std::vector<Reference> result;
        auto reply = call(at, kAccessible, "GetChildren", nullptr, "(a(so))");
        if (!reply) return result;
        GVariantIter* iter = nullptr;
        g_variant_get(reply.get(), "(a(so))", &iter);
        const char* name = nullptr;
        const char* path = nullptr;
        while (g_variant_iter_loop(iter, "(&s&o)", &name, &path)) result.push_back({name, path});
        g_variant_iter_free(iter);
        return result;
    }

    std::optional<pid_t> processOf(const std::string& busName) const {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
            g_variant_new("(s)", busName.c_str()), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
            nullptr, &error);
        if (error) g_error_free(error);
        if (!reply) return std::nullopt;
        Variant owned(reply);
        guint32 pid = 0;
        g_variant_get(reply, "(u)", &pid);
        return static_cast<pid_t>(pid);
    }

    AccessibleElement element(const Reference& at, int depth, bool showingOnly) const {
        AccessibleElement e;
        e.name = stringProperty(at, "Name");
        e.description = stringProperty(at, "Description");
        if (auto role = call(at, kAccessible, "GetRoleName", nullptr, "(s)")) {
            const char* text = nullptr;
            g_variant_get(role.get(), "(&s)", &text);
            e.role = text;
        }
        if (auto state = call(at, kAccessible, "GetState", nullptr, "(au)")) {
            GVariantIter* iter = nullptr;
            g_variant_get(state.get(), "(au)", &iter);
            std::vector<guint32> words;
            guint32 word = 0;
            while (g_variant_iter_loop(iter, "u", &word)) words.push_back(word);
            g_variant_iter_free(iter);
            const auto bit = [&](int n) {
                return static_cast<std::size_t>(n / 32) < words.size() && (words[n / 32] >> (n % 32)) & 1u;
            };
            e.enabled = bit(kStateEnabled);
            e.showing = bit(kStateShowing);
        }
        if (auto extents = call(at, "org.a11y.atspi.Component", "GetExtents", g_variant_new("(u)", 0u), "((iiii))")) {
            g_variant_get(extents.get(), "((iiii))", &e.extents.x, &e.extents.y, &e.extents.width, &e.extents.height);
        }
        if (e.role == "text") {
            if (auto text = call(at, "org.a11y.atspi.Text", "GetText", g_variant_new("(ii)", 0, -1), "(s)")) {
                const char* held = nullptr;
                g_variant_get(text.get(), "(&s)", &held);
                e.text = held;
            }
        }
        if (depth < kMaxDepth && (e.showing || !showingOnly)) {
            for (const auto& child : children(at)) e.children.push_back(element(child, depth + 1, showingOnly));
        }
        return e;
    }
};

const AccessibleElement* AccessibleElement::find(const std::function<bool(const AccessibleElement&)>& match) const {
    if (match(*this)) return this;
    for (const auto& child : children) {
        if (const auto* found = child.find(match)) return found;
    }
    return nullptr;
}

std::vector<const AccessibleElement*> AccessibleElement::findAll(
    const std::function<bool(const AccessibleElement&)>& match) const {
    std::vector<const AccessibleElement*> found;
    std::function<void(const AccessibleElement&)> walk = [&](const AccessibleElement& e) {
        if (match(e)) found.push_back(&e);
        for (const auto& child : e.children) walk(child);
    };
    walk(*this);
    return found;
}

AccessibilityBus::AccessibilityBus(const std::string& sessionBusAddress) : connection_(std::make_unique<Connection>()) {
    GError* error = nullptr;
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                         G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    GDBusConnection* session =
        g_dbus_connection_new_for_address_sync(sessionBusAddress.c_str(), flags, nullptr, nullptr, &error);
    if (!session) {
        failure_ = std::string("no session bus: ") + (error ? error->message : "?");
        if (error) g_error_free(error);
        return;
    }
    GVariant* reply = g_dbus_connection_call_sync(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                                  nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                                  kCallTimeoutMs, nullptr, &error);
    g_object_unref(session);
    if (!reply) {
        failure_ = std::string("no accessibility bus: ") + (error ? error->message : "?");
        if (error) g_error_free(error);
        return;
    }
    Variant owned(reply);
    const char* address = nullptr;
    g_variant_get(reply, "(&s)", &address);
    connection_->bus = g_dbus_connection_new_for_address_sync(address, flags, nullptr, nullptr, &error);
    if (!connection_->bus) {
        failure_ = std::string("cannot reach the accessibility bus: ") + (error ? error->message : "?");
        if (error) g_error_free(error);
    }
}

AccessibilityBus::~AccessibilityBus() = default;

std::vector<AccessibleElement> AccessibilityBus::windowsOf(pid_t pid, Elements which) const {
    std::vector<AccessibleElement> windows;
    for (const auto& window : windowReferences(pid)) {
        windows.push_back(connection_->element(window, 1, which == Elements::Showing));
    }
    return windows;
}

std::vector<AccessibilityBus::ElementReference> AccessibilityBus::windowReferences(pid_t pid) const {
    std::vector<ElementReference> windows;
    if (!connection_->bus) return windows;
    const Reference root{"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"};
    for (const auto& application : connection_->children(root)) {
        if (connection_->processOf(application.busName) != pid) continue;
        for (auto& window : connection_->children(application)) windows.push_back(std::move(window));
    }
    return windows;
}

}  // namespace gwtest::x11
