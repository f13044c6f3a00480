#include "support/desktop/file_manager_stand_in.hpp"

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace gwtest::desktop {

namespace {

constexpr const char* kIntrospection =
    "<node>"
    "  <interface name='org.freedesktop.FileManager1'>"
    "    <method name='ShowFolders'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "    <method name='ShowItems'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "    <method name='ShowItemProperties'><arg type='as' name='URIs' direction='in'/>"
    "      <arg type='s' name='StartupId' direction='in'/></method>"
    "  </interface>"
    "</node>";

}  // namespace

struct FileManagerStandIn::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ShowItemsCall> calls;
    bool ready = false;
    std::string failure;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;
};

namespace {

void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto* state = static_cast<FileManagerStandIn::State*>(data);
    if (g_strcmp0(method, "ShowItems") == 0) {
        ShowItemsCall call;
        GVariantIter* uris = nullptr;
        const gchar* startup = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, &startup);
        const gchar* uri = nullptr;
        while (g_variant_iter_next(uris, "&s", &uri)) call.uris.emplace_back(uri);
        g_variant_iter_free(uris);
        call.startupId = startup ? startup : "";
        std::lock_guard lock(state->mutex);
        state->calls.push_back(std::move(call));
        state->changed.notify_all();
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable kVTable = {onMethodCall, nullptr, nullptr, {}};

void serve(FileManagerStandIn::State* state, std::string address) {
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
        registration = g_dbus_connection_register_object(connection, "/org/freedesktop/FileManager1",
                                                         node->interfaces[0], &kVTable, state, nullptr, &error);
        GVariant* reply = registration == 0 ? nullptr
                                            : g_dbus_connection_call_sync(
                                                  connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", "org.freedesktop.FileManager1", 4u),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, &error);
        guint32 result = 0;
        if (reply) {
            g_variant_get(reply, "(u)", &result);
            g_variant_unref(reply);
        }
        if (result != 1) {  // not the primary owner
            fail(error ? error->message : "the name org.freedesktop.FileManager1 is taken");
        } else {
            std::lock_guard lock(state->mutex);
            state->ready = true;
            state->changed.notify_all();
        }
    }
    g_clear_error(&error);
    if (connection && registration != 0) {
        bool serving = false;
        {
            std::lock_guard lock(state->mutex);
            serving = state->ready;
        }
        if (serving) g_main_loop_run(state->loop);
        g_dbus_connection_unregister_object(connection, registration);
    }
    if (node) g_dbus_node_info_unref(node);
    if (connection) {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    g_main_context_pop_thread_default(state->context);
}

// Quits the loop from within its own context, so a quit sent before the loop has begun
// running is not lost.
void quitLoop(FileManagerStandIn::State* state) {
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

}  // namespace

FileManagerStandIn::FileManagerStandIn(const std::string& address) : state_(std::make_shared<State>()) {
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
        throw std::runtime_error("the file manager stand-in could not start: " + why);
    }
}

FileManagerStandIn::~FileManagerStandIn() {
    quitLoop(state_.get());
    state_->thread.join();
    g_main_loop_unref(state_->loop);
    g_main_context_unref(state_->context);
}

std::vector<ShowItemsCall> FileManagerStandIn::showItemsCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

bool FileManagerStandIn::waitForShowItems(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->calls.size() >= count; });
}

}  // namespace gwtest::desktop
