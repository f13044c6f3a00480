#pragma once
// What the desktop services on the session bus share: the bus's address as the freedesktop
// convention gives it, a connection of the service's own to it, and a GLib main context
// served by a thread of its own, so that calls and signals are dispatched whether or not
// the main thread runs a GLib loop (or is busy).
#include <gio/gio.h>
#include <sys/stat.h>

#include <string>
#include <thread>

namespace platform::appkit {

// $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that folder (mode 0700) and the
// socket are the user's own; empty: no bus (none is started on demand). Read anew each time, so that a bus restarted or replaced is found,
// which GDBus's shared per-process connection would not do.
std::string sessionBusAddress();

// Whether `info` is of a folder of this user's own that no one else may enter: the runtime
// folder, or one the program makes in the temporary folder, is trusted only then.
bool isPrivateFolder(const struct stat& info);

// A private connection to the bus at `address`; null with `error` set when there is none.
GDBusConnection* connectToBus(const std::string& address, GError** error);

class BusLoopThread {
public:
    BusLoopThread();
    ~BusLoopThread();
    BusLoopThread(const BusLoopThread&) = delete;
    BusLoopThread& operator=(const BusLoopThread&) = delete;

    // Runs `setUp` with this loop's context as the calling thread's default: what it
    // registers or subscribes on a connection is dispatched on this loop's thread.
    template <class SetUp>
    auto withContext(SetUp&& setUp) {
        g_main_context_push_thread_default(context_);
        struct Pop {
            GMainContext* context;
            ~Pop() { g_main_context_pop_thread_default(context); }
        } pop{context_};
        return setUp();
    }
    void start();
    // Quits the loop from inside its context (so a quit before it began running is kept)
    // and waits for its thread.
    void stop();

private:
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

}  // namespace platform::appkit
