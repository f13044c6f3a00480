#include "support/desktop/notification_server_stand_in.hpp"

#include "support/desktop/bus_name_owner.hpp"

#include <condition_variable>
#include <mutex>

namespace gwtest::desktop {

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

constexpr const char* kIntrospection =
    "<node>"
    "  <interface name='org.freedesktop.Notifications'>"
    "    <method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "      <arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "      <arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
    "      <arg type='u' direction='out'/></method>"
    "    <method name='CloseNotification'><arg type='u' direction='in'/></method>"
    "    <method name='GetCapabilities'><arg type='as' direction='out'/></method>"
    "    <method name='GetServerInformation'><arg type='s' direction='out'/><arg type='s' direction='out'/>"
    "      <arg type='s' direction='out'/><arg type='s' direction='out'/></method>"
    "    <signal name='ActionInvoked'><arg type='u'/><arg type='s'/></signal>"
    "    <signal name='NotificationClosed'><arg type='u'/><arg type='u'/></signal>"
    "  </interface>"
    "</node>";

}  // namespace

struct NotificationServerStandIn::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<NotifyCall> calls;
    std::uint32_t nextId = 1;
    std::unique_ptr<BusNameOwner> owner;  // last: its thread stops before the calls go
};

namespace {

// On the bus thread.
void onMethodCall(NotificationServerStandIn::State* state, const char* method, GVariant* parameters,
                  GDBusMethodInvocation* invocation) {
    if (g_strcmp0(method, "Notify") == 0) {
        NotifyCall call;
        const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        guint32 replaces = 0;
        gint32 timeout = 0;
        GVariantIter* actions = nullptr;
        GVariantIter* hints = nullptr;
        g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &replaces, &icon, &summary, &body, &actions, &hints,
                      &timeout);
        call.appName = app;
        call.summary = summary;
        call.body = body;
        const gchar* action = nullptr;
        while (g_variant_iter_next(actions, "&s", &action)) call.actions.emplace_back(action);
        g_variant_iter_free(actions);
        const gchar* key = nullptr;
        GVariant* value = nullptr;
        while (g_variant_iter_next(hints, "{&sv}", &key, &value)) {
            call.hintKeys.emplace_back(key);
            if (g_strcmp0(key, "sound-name") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
                call.soundName = g_variant_get_string(value, nullptr);
            if (g_strcmp0(key, "image-data") == 0 && g_variant_is_of_type(value, G_VARIANT_TYPE("(iiibiiay)"))) {
                gint32 width = 0, height = 0, stride = 0, bits = 0, channels = 0;
                gboolean alpha = FALSE;
                GVariant* bytes = nullptr;
                g_variant_get(value, "(iiibii@ay)", &width, &height, &stride, &alpha, &bits, &channels, &bytes);
                call.imageWidth = width;
                call.imageHeight = height;
                gsize size = 0;
                const auto* raw = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &size, 1));
                call.imageBytes.assign(raw, raw + size);
                g_variant_unref(bytes);
            }
            g_variant_unref(value);
        }
        g_variant_iter_free(hints);
        std::lock_guard lock(state->mutex);
        call.id = replaces != 0 ? replaces : state->nextId++;
        const auto id = call.id;
        state->calls.push_back(std::move(call));
        state->changed.notify_all();
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
        return;
    }
    if (g_strcmp0(method, "GetCapabilities") == 0) {
        const gchar* caps[] = {"actions", "body", "sound", nullptr};
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
        return;
    }
    if (g_strcmp0(method, "GetServerInformation") == 0) {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "stand-in", "tests", "1", "1.2"));
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

}  // namespace

NotificationServerStandIn::NotificationServerStandIn(const std::string& address) : state_(std::make_shared<State>()) {
    auto* state = state_.get();
    state_->owner = std::make_unique<BusNameOwner>(
        address, kName, kPath, kIntrospection,
        [state](const char* method, GVariant* parameters, GDBusMethodInvocation* invocation) {
            onMethodCall(state, method, parameters, invocation);
        },
        "the notification server stand-in");
}

NotificationServerStandIn::~NotificationServerStandIn() { state_->owner.reset(); }

std::vector<NotifyCall> NotificationServerStandIn::notifyCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

bool NotificationServerStandIn::waitForNotify(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->calls.size() >= count; });
}

void NotificationServerStandIn::invokeAction(std::uint32_t id, const std::string& actionKey) {
    state_->owner->emitSignal("ActionInvoked", g_variant_new("(us)", id, actionKey.c_str()));
}

void NotificationServerStandIn::close(std::uint32_t id) {
    state_->owner->emitSignal("NotificationClosed", g_variant_new("(uu)", id, 2u));
}

}  // namespace gwtest::desktop
