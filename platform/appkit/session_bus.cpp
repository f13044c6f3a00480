#include "platform/appkit/session_bus.hpp"

#include <cstdlib>

namespace platform::appkit {

std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        if (g_file_test(socket.c_str(), G_FILE_TEST_EXISTS)) return "unix:path=" + socket;
    }
    return {};
}

GDBusConnection* connectToBus(const std::string& address, GError** error) {
    return g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error);
}

BusLoopThread::BusLoopThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {}

BusLoopThread::~BusLoopThread() {
    stop();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void BusLoopThread::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([context = context_, loop = loop_] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
}

void BusLoopThread::stop() {
    if (!thread_.joinable()) return;
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
    thread_.join();
}

}  // namespace platform::appkit
