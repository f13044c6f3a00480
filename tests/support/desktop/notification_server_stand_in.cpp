#include "support/desktop/notification_server_stand_in.hpp"

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

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
    bool ready = false;
    std::string failure;
    GDBusConnection* connection = nullptr;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
};

namespace {

void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* state = static_cast<NotificationServerStandIn::State*>(data);
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

const GDBusInterfaceVTable kVTable = {onMethodCall, nullptr, nullptr, {}};

void serve(NotificationServerStandIn::State* state, std::string address) {
    g_main_context_push_thread_default(state->context);
    auto fail = [state](const std::string& why) {
        std::lock_guard lock(state->mutex);
        state->failure = why;
        state->changed.notify_all();
    };
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    GDBusNodeInfo* node = nullptr;
    guint registration = 0;
    if (!connection) {
        fail(error ? error->message : "no connection");
    } else {
        node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        registration = g_dbus_connection_register_object(connection, kPath, node->interfaces[0], &kVTable, state,
                                                         nullptr, &error);
        GVariant* reply = registration == 0
                              ? nullptr
                              : g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "RequestName",
                                                            g_variant_new("(su)", kName, 4u), G_VARIANT_TYPE("(u)"),
                                                            G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, &error);
        guint32 result = 0;
        if (reply) {
            g_variant_get(reply, "(u)", &result);
            g_variant_unref(reply);
        }
        if (result != 1) {
            fail(error ? error->message : "the name org.freedesktop.Notifications is taken");
        } else {
            std::lock_guard lock(state->mutex);
            state->connection = connection;
            state->ready = true;
            state->changed.notify_all();
        }
    }
    g_clear_error(&error);
    bool serving = false;
    {
        std::lock_guard lock(state->mutex);
        serving = state->ready;
    }
    if (serving) g_main_loop_run(state->loop);
    if (registration != 0) g_dbus_connection_unregister_object(connection, registration);
    if (node) g_dbus_node_info_unref(node);
    {
        std::lock_guard lock(state->mutex);
        state->connection = nullptr;
    }
    if (connection) {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    g_main_context_pop_thread_default(state->context);
}

void quitLoop(NotificationServerStandIn::State* state) {
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        state->loop, nullptr);
    g_source_attach(source, state->context);
    g_source_unref(source);
}

void emit(NotificationServerStandIn::State* state, const char* signal, GVariant* parameters) {
    std::lock_guard lock(state->mutex);
    if (!state->connection) {
        g_variant_unref(g_variant_ref_sink(parameters));
        return;
    }
    g_dbus_connection_emit_signal(state->connection, nullptr, kPath, kName, signal, parameters, nullptr);
    g_dbus_connection_flush_sync(state->connection, nullptr, nullptr);
}

}  // namespace

NotificationServerStandIn::NotificationServerStandIn(const std::string& address) : state_(std::make_shared<State>()) {
    state_->context = g_main_context_new();
    state_->loop = g_main_loop_new(state_->context, FALSE);
    state_->thread = std::thread(serve, state_.get(), address);
    std::unique_lock lock(state_->mutex);
    const bool settled = state_->changed.wait_for(lock, std::chrono::seconds(60), [this] {
        return state_->ready || !state_->failure.empty();
    });
    if (!settled || !state_->ready) {
        const auto why = settled ? state_->failure : std::string("no answer from the bus");
        lock.unlock();
        quitLoop(state_.get());
        state_->thread.join();
        g_main_loop_unref(state_->loop);
        g_main_context_unref(state_->context);
        throw std::runtime_error("the notification server stand-in could not start: " + why);
    }
}

NotificationServerStandIn::~NotificationServerStandIn() {
    quitLoop(state_.get());
    state_->thread.join();
    g_main_loop_unref(state_->loop);
    g_main_context_unref(state_->context);
}

std::vector<NotifyCall> NotificationServerStandIn::notifyCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

bool NotificationServerStandIn::waitForNotify(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->calls.size() >= count; });
}

void NotificationServerStandIn::invokeAction(std::uint32_t id, const std::string& actionKey) {
    emit(state_.get(), "ActionInvoked", g_variant_new("(us)", id, actionKey.c_str()));
}

void NotificationServerStandIn::close(std::uint32_t id) {
    emit(state_.get(), "NotificationClosed", g_variant_new("(uu)", id, 2u));
}

}  // namespace gwtest::desktop
