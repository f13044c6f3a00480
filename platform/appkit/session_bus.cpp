#include "platform/appkit/session_bus.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::appkit {

std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return {};
    // Only the user's own bus: a runtime folder of another user's (or one others may
    // enter) would hand whatever is said on it, file paths among them, to its owner.
    struct stat folder {};
    struct stat socket {};
    const std::string path = std::string(runtime) + "/bus";
    if (::stat(runtime, &folder) != 0 || !isPrivateFolder(folder) || ::lstat(path.c_str(), &socket) != 0 ||
        !S_ISSOCK(socket.st_mode) || socket.st_uid != ::getuid()) {
        return {};
    }
    return "unix:path=" + path;
}

bool isPrivateFolder(const struct stat& info) {
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
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
