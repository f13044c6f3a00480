#include "support/desktop/bus_name_owner.hpp"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace gwtest::desktop {

struct BusNameOwner::State {
    std::string address;
    std::string name;
    std::string objectPath;
    std::string introspection;
    MethodHandler handler;

    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    std::string failure;
    GDBusConnection* connection = nullptr;  // set while serving
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
};

namespace {

void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    static_cast<BusNameOwner::State*>(data)->handler(method, parameters, invocation);
}

const GDBusInterfaceVTable kVTable = {onMethodCall, nullptr, nullptr, {}};

void serve(BusNameOwner::State* state) {
    g_main_context_push_thread_default(state->context);
    auto fail = [state](const std::string& why) {
        std::lock_guard lock(state->mutex);
        state->failure = why;
        state->changed.notify_all();
    };
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        state->address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    GDBusNodeInfo* node = nullptr;
    guint registration = 0;
    if (!connection) {
        fail(error ? error->message : "no connection");
    } else {
        node = g_dbus_node_info_new_for_xml(state->introspection.c_str(), &error);
        if (node) {
            registration = g_dbus_connection_register_object(connection, state->objectPath.c_str(),
                                                             node->interfaces[0], &kVTable, state, nullptr, &error);
        }
        GVariant* reply = registration == 0
                              ? nullptr
                              : g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "RequestName",
                                                            g_variant_new("(su)", state->name.c_str(), 4u),
                                                            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 60'000,
                                                            nullptr, &error);
        guint32 result = 0;
        if (reply) {
            g_variant_get(reply, "(u)", &result);
            g_variant_unref(reply);
        }
        if (result != 1) {  // not the primary owner (4: do not queue)
            fail(error ? error->message : "the name " + state->name + " is taken");
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

// Quits the loop from within its own context, so a quit sent before the loop has begun
// running is not lost.
void quitLoop(BusNameOwner::State* state) {
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

void stop(BusNameOwner::State* state) {
    quitLoop(state);
    state->thread.join();
    g_main_loop_unref(state->loop);
    g_main_context_unref(state->context);
}

}  // namespace

BusNameOwner::BusNameOwner(const std::string& address, const std::string& name, const std::string& objectPath,
                           const char* introspection, MethodHandler handler, const std::string& service)
    : state_(std::make_shared<State>()) {
    state_->address = address;
    state_->name = name;
    state_->objectPath = objectPath;
    state_->introspection = introspection;
    state_->handler = std::move(handler);
    state_->context = g_main_context_new();
    state_->loop = g_main_loop_new(state_->context, FALSE);
    state_->thread = std::thread(serve, state_.get());
    std::unique_lock lock(state_->mutex);
    const bool settled = state_->changed.wait_for(lock, std::chrono::seconds(60), [this] {
        return state_->ready || !state_->failure.empty();
    });
    if (!settled || !state_->ready) {
        const auto why = settled ? state_->failure : std::string("no answer from the bus");
        lock.unlock();
        stop(state_.get());
        throw std::runtime_error(service + " could not start: " + why);
    }
}

BusNameOwner::~BusNameOwner() { stop(state_.get()); }

void BusNameOwner::emitSignal(const char* signal, GVariant* parameters) {
    std::lock_guard lock(state_->mutex);
    if (!state_->connection) {
        g_variant_unref(g_variant_ref_sink(parameters));
        return;
    }
    g_dbus_connection_emit_signal(state_->connection, nullptr, state_->objectPath.c_str(), state_->name.c_str(),
                                  signal, parameters, nullptr);
    g_dbus_connection_flush_sync(state_->connection, nullptr, nullptr);
}

}  // namespace gwtest::desktop
