#include "platform/appkit/application_instance.hpp"

#include "platform/appkit/session_bus.hpp"

#include "platform/log/system_log.hpp"

#include <gio/gio.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace platform::appkit {

namespace {

namespace fs = std::filesystem;

// Between two tries to reach a running instance that is ending or not yet serving.
constexpr auto kRetry = std::chrono::milliseconds(100);
// A running instance answers from a thread of its own, whatever its window does; this is
// for a loaded machine.
constexpr int kAnswerTimeoutMs = 60'000;
// A request is a few paths; more is no request of ours.
constexpr std::size_t kMaxRequestBytes = 16u << 20;

const log::SystemLog& instanceLog() {
    static const log::SystemLog log("Glyphwright", "ApplicationInstance");
    return log;
}

constexpr const char* kInterface = "org.freedesktop.Application";
constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.Application">
    <method name="Activate"><arg type="a{sv}" name="platform_data" direction="in"/></method>
    <method name="Open">
      <arg type="as" name="uris" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
    <method name="ActivateAction">
      <arg type="s" name="action_name" direction="in"/>
      <arg type="av" name="parameter" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
  </interface>
</node>)";

// The object path freedesktop's application interface lives at: the name, dots made
// slashes ("com.example.App" at "/com/example/App").
std::string objectPathOf(const std::string& id) {
    std::string path = "/" + id;
    for (auto& c : path) {
        if (c == '.') c = '/';
        if (c == '-') c = '_';
    }
    return path;
}

std::string endingErrorOf(const std::string& id) { return id + ".Error.Ending"; }

struct VariantUnref {
    void operator()(GVariant* v) const {
        if (v) g_variant_unref(v);
    }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

std::string errorText(GError* error) { return error ? error->message : "unknown error"; }

// Answers the D-Bus error name of `error`, empty when it has none.
std::string remoteErrorName(GError* error) {
    if (!error || !g_dbus_error_is_remote_error(error)) return {};
    gchar* name = g_dbus_error_get_remote_error(error);
    std::string text = name ? name : "";
    g_free(name);
    return text;
}

}  // namespace

struct ApplicationInstance::Serving {
    std::mutex mutex;
    bool ending = false;
    Handler handler;
    std::string id;

    // Served on the session bus.
    GDBusConnection* connection = nullptr;
    std::unique_ptr<BusLoopThread> loop;
    guint registration = 0;

    // Served in the private folder.
    int lockFd = -1;
    int listenFd = -1;
    std::array<int, 2> wake{-1, -1};
    std::string socketPath;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    std::thread socketThread;

    ~Serving() { stop(); }

    // Hands the request to the handler unless ending; whether it was taken.
    bool accept(std::vector<std::string> files) {
        std::lock_guard lock(mutex);
        if (ending) return false;
        if (handler) handler(std::move(files));
        return true;
    }

    void stop() {
        stopBus();
        stopSocket();
    }

    // --- the session bus ---

    static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<Serving*>(data);
        std::vector<std::string> files;
        if (g_strcmp0(method, "Open") == 0) {
            GVariantIter* uris = nullptr;
            g_variant_get(parameters, "(as@a{sv})", &uris, nullptr);
            const gchar* uri = nullptr;
            while (g_variant_iter_loop(uris, "&s", &uri)) {
                GFile* file = g_file_new_for_uri(uri);
                if (gchar* path = g_file_get_path(file)) {
                    files.emplace_back(path);
                    g_free(path);
                }
                g_object_unref(file);
            }
            g_variant_iter_free(uris);
        } else if (g_strcmp0(method, "Activate") != 0) {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.NotSupported",
                                                       "The application has no actions.");
            return;
        }
        if (!self->accept(std::move(files))) {
            g_dbus_method_invocation_return_dbus_error(invocation, endingErrorOf(self->id).c_str(),
                                                       "The application is ending; it may be started again then.");
            return;
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    // Connects and serves the interface (before the name is asked for, so that whoever
    // finds this launch the owner is answered at once). False when there is no bus.
    bool serveOnBus(const std::string& address) {
        GError* error = nullptr;
        connection = connectToBus(address, &error);
        if (!connection) {
            instanceLog().error("No session bus: " + errorText(error));
            g_clear_error(&error);
            return false;
        }
        // Calls are dispatched in a context of our own, served by our own thread: a later
        // launch is answered whatever the main thread does (a save, a modal alert).
        loop = std::make_unique<BusLoopThread>();
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable{onMethodCall, nullptr, nullptr, {}};
        registration = loop->withContext([&] {
            return g_dbus_connection_register_object(connection, objectPathOf(id).c_str(), node->interfaces[0], &vtable,
                                                     this, nullptr, &error);
        });
        g_dbus_node_info_unref(node);
        if (registration == 0) {
            instanceLog().error("The application's interface could not be served: " + errorText(error));
            g_clear_error(&error);
            stopBus();
            return false;
        }
        loop->start();
        return true;
    }

    Variant callBus(const char* destination, const char* path, const char* interface, const char* method,
                    GVariant* parameters, const char* replyType, GError** error, int timeoutMs = kAnswerTimeoutMs) {
        return Variant(g_dbus_connection_call_sync(connection, destination, path, interface, method, parameters,
                                                   replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                   G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, error));
    }

    void stopBus() {
        if (loop) loop->stop();
        if (connection) {
            if (registration != 0) g_dbus_connection_unregister_object(connection, registration);
            // Closing gives the name up: a launch waiting for it becomes the instance.
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        loop.reset();
        connection = nullptr;
        registration = 0;
    }

    // --- the private folder ---

    void serveSocket() {
        socketThread = std::thread([this] {
            for (;;) {
                std::array<pollfd, 2> watched{{{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}}};
                if (::poll(watched.data(), watched.size(), -1) < 0) {
                    if (errno == EINTR) continue;
                    return;
                }
                if (watched[1].revents) return;
                const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                answer(client);
                ::close(client);
            }
        });
    }

    // One request: the verb and the files, each ended by a NUL, then the end of the
    // stream. Answered "ok" or "ending".
    void answer(int client) {
        struct ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid()) return;
        std::string request;
        char buffer[4096];
        for (;;) {
            pollfd readable{client, POLLIN, 0};
            if (::poll(&readable, 1, kAnswerTimeoutMs) <= 0) return;
            const ssize_t got = ::read(client, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return;
            if (got == 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
            if (request.size() > kMaxRequestBytes) return;
        }
        std::vector<std::string> parts;
        for (std::size_t from = 0; from < request.size();) {
            const auto end = request.find('\0', from);
            if (end == std::string::npos) return;
            parts.push_back(request.substr(from, end - from));
            from = end + 1;
        }
        if (parts.empty() || parts.front() != "open") return;
        parts.erase(parts.begin());
        const char* reply = accept(std::move(parts)) ? "ok\n" : "ending\n";
        [[maybe_unused]] const auto written = ::write(client, reply, std::strlen(reply));
    }

    void stopSocket() {
        if (socketThread.joinable()) {
            const char byte = 1;
            [[maybe_unused]] const auto written = ::write(wake[1], &byte, 1);
            socketThread.join();
        }
        for (int& fd : wake) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
        if (listenFd >= 0) ::close(listenFd);
        listenFd = -1;
        // Only the socket this run made goes, and only while it is still the one there.
        struct stat info {};
        if (!socketPath.empty() && ::lstat(socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice &&
            info.st_ino == socketInode) {
            ::unlink(socketPath.c_str());
        }
        socketPath.clear();
        // The lock goes last: a launch that takes it finds no socket of ours.
        if (lockFd >= 0) ::close(lockFd);
        lockFd = -1;
    }
};

namespace {

using Serving = ApplicationInstance::Serving;

// Waits between tries; false when the launch gives up.
bool waitAndGoOn(const ApplicationInstance::Options& options) {
    std::this_thread::sleep_for(kRetry);
    return !(options.givingUp && options.givingUp());
}

enum class Outcome { instance, handedOver, failed };

// On the bus: owns the name, or hands the files to its owner. None when there is no bus.
std::optional<Outcome> claimOnBus(Serving& serving, const std::vector<std::string>& files,
                                  const ApplicationInstance::Options& options, std::string& failure) {
    const auto address = sessionBusAddress();
    if (address.empty() || !serving.serveOnBus(address)) return std::nullopt;
    const std::string& id = serving.id;
    GError* error = nullptr;
    // Queued behind an owner, so that the name passes to this launch when the owner ends.
    const auto requested = serving.callBus("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           "RequestName", g_variant_new("(su)", id.c_str(), 0u), "(u)", &error);
    if (!requested) {
        failure = "the application's name could not be asked for: " + errorText(error);
        g_clear_error(&error);
        return Outcome::failed;
    }
    guint32 answer = 0;
    g_variant_get(requested.get(), "(u)", &answer);
    if (answer == 1 || answer == 4) return Outcome::instance;  // primary owner, or already
    const std::string self = g_dbus_connection_get_unique_name(serving.connection);
    bool toldWaiting = false;
    do {
        const auto owned = serving.callBus("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           "GetNameOwner", g_variant_new("(s)", id.c_str()), "(s)", &error);
        g_clear_error(&error);
        if (!owned) continue;  // between two owners
        const gchar* owner = nullptr;
        g_variant_get(owned.get(), "(&s)", &owner);
        if (self == owner) return Outcome::instance;
        GVariant* parameters = nullptr;
        GVariantBuilder platformData;
        g_variant_builder_init(&platformData, G_VARIANT_TYPE("a{sv}"));
        if (const char* startup = std::getenv("DESKTOP_STARTUP_ID"); startup && *startup) {
            g_variant_builder_add(&platformData, "{sv}", "desktop-startup-id", g_variant_new_string(startup));
        }
        if (files.empty()) {
            parameters = g_variant_new("(a{sv})", &platformData);
        } else {
            GVariantBuilder uris;
            g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
            for (const auto& path : files) {
                gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
                if (uri) g_variant_builder_add(&uris, "s", uri);
                g_free(uri);
            }
            parameters = g_variant_new("(asa{sv})", &uris, &platformData);
        }
        const auto handed = serving.callBus(owner, objectPathOf(id).c_str(), kInterface, files.empty() ? "Activate" : "Open",
                                            parameters, nullptr, &error);
        if (handed) return Outcome::handedOver;
        const auto name = remoteErrorName(error);
        const std::string message = errorText(error);
        g_clear_error(&error);
        if (name == endingErrorOf(id)) {
            if (!toldWaiting && options.waiting) options.waiting();
            toldWaiting = true;
        } else if (name == "org.freedesktop.DBus.Error.UnknownMethod" ||
                   name == "org.freedesktop.DBus.Error.UnknownObject" ||
                   name == "org.freedesktop.DBus.Error.UnknownInterface" ||
                   name == "org.freedesktop.DBus.Error.AccessDenied") {
            // Whatever owns the name does not serve the application's interface.
            failure = "the owner of " + id + " does not take files: " + message;
            return Outcome::failed;
        }
        // Otherwise the owner went meanwhile, or its answer did not come: asked again.
    } while (waitAndGoOn(options));
    failure = "it was asked to end while waiting for the running instance";
    return Outcome::failed;
}

// A folder of the user's own, for no one else: the runtime folder, else one made in the
// temporary folder. Empty when none can be had.
std::string privateFolderFor(const std::string& id, const ApplicationInstance::Options& options, std::string& failure) {
    const auto isPrivate = [](const std::string& folder) {
        struct stat info {};
        return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
               (info.st_mode & 077) == 0;
    };
    if (!options.privateFolder.empty()) return options.privateFolder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/' && isPrivate(runtime)) {
        return runtime;
    }
    const char* temporary = std::getenv("TMPDIR");
    const std::string folder = std::string(temporary && *temporary == '/' ? temporary : "/tmp") + "/" + id + "-" +
                               std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        failure = "no folder of the user's own: " + folder + ": " + std::strerror(errno);
        return {};
    }
    if (!isPrivate(folder)) {
        failure = folder + " is not a folder of the user's own";
        return {};
    }
    return folder;
}

// Sends the request to the socket whose path the lock file holds: "ok", "ending", or
// empty when no instance answered there.
std::string askBySocket(int lockFd, const std::vector<std::string>& files) {
    char named[sizeof(sockaddr_un::sun_path)] = {};
    const ssize_t length = ::pread(lockFd, named, sizeof named - 1, 0);
    if (length <= 0) return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, named, static_cast<std::size_t>(length));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    std::string reply;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        struct ucred peer {};
        socklen_t size = sizeof peer;
        std::string request("open", 5);
        for (const auto& file : files) request.append(file.c_str(), file.size() + 1);
        bool sent = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
        for (std::size_t at = 0; sent && at < request.size();) {
            const ssize_t n = ::write(fd, request.data() + at, request.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) sent = false;
            else at += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        char buffer[64];
        for (pollfd readable{fd, POLLIN, 0}; sent && ::poll(&readable, 1, kAnswerTimeoutMs) > 0;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
}

// The socket this launch serves on as the instance, under a name of its own (so that
// nothing another run left there is ever in the way, or removed), written into the lock
// file for later launches to find. False when it cannot be made.
bool serveInFolder(Serving& serving, const std::string& folder, std::string& failure) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = folder + "/" + serving.id + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(random() % 1000000) + ".socket";
        sockaddr_un address{};
        if (path.size() >= sizeof address.sun_path) {
            failure = "the socket's path is too long: " + path;
            return false;
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EADDRINUSE) continue;
            failure = "the socket could not be made: " + path + ": " + std::strerror(error);
            return false;
        }
        struct stat info {};
        if (::listen(fd, 16) != 0 || ::lstat(path.c_str(), &info) != 0 || ::pipe2(serving.wake.data(), O_CLOEXEC) != 0) {
            failure = "the socket could not be served: " + path + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return false;
        }
        serving.listenFd = fd;
        serving.socketPath = path;
        serving.socketDevice = info.st_dev;
        serving.socketInode = info.st_ino;
        if (::ftruncate(serving.lockFd, 0) != 0 ||
            ::pwrite(serving.lockFd, path.c_str(), path.size(), 0) != static_cast<ssize_t>(path.size())) {
            failure = "the lock file could not be written: " + std::string(std::strerror(errno));
            return false;
        }
        serving.serveSocket();
        return true;
    }
    failure = "no socket could be made in " + folder;
    return false;
}

Outcome claimInFolder(Serving& serving, const std::vector<std::string>& files,
                      const ApplicationInstance::Options& options, std::string& failure, std::string& description) {
    const auto folder = privateFolderFor(serving.id, options, failure);
    if (folder.empty()) return Outcome::failed;
    const auto lockPath = folder + "/" + serving.id + ".lock";
    serving.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (serving.lockFd < 0) {
        failure = "the lock file could not be opened: " + lockPath + ": " + std::strerror(errno);
        return Outcome::failed;
    }
    bool toldWaiting = false;
    do {
        if (::flock(serving.lockFd, LOCK_EX | LOCK_NB) == 0) {
            if (!serveInFolder(serving, folder, failure)) return Outcome::failed;
            description = serving.socketPath;
            return Outcome::instance;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            failure = "the lock file could not be locked: " + lockPath + ": " + std::strerror(errno);
            return Outcome::failed;
        }
        const auto reply = askBySocket(serving.lockFd, files);
        if (reply == "ok") return Outcome::handedOver;
        if (reply == "ending" && !toldWaiting) {
            if (options.waiting) options.waiting();
            toldWaiting = true;
        }
        // Otherwise the instance is not serving yet, or went meanwhile: asked again.
    } while (waitAndGoOn(options));
    failure = "it was asked to end while waiting for the running instance";
    return Outcome::failed;
}

}  // namespace

ApplicationInstance::Claim ApplicationInstance::claim(const std::string& applicationId,
                                                      const std::vector<std::string>& files, Handler handler,
                                                      Options options) {
    Claim claim;
    auto serving = std::make_shared<Serving>();
    serving->id = applicationId;
    serving->handler = std::move(handler);
    std::string description = "the session bus";
    auto outcome = claimOnBus(*serving, files, options, claim.failure);
    if (!outcome) outcome = claimInFolder(*serving, files, options, claim.failure, description);
    switch (*outcome) {
        case Outcome::instance: {
            claim.instance.reset(new ApplicationInstance());
            claim.instance->serving_ = std::move(serving);
            claim.instance->description_ = description;
            instanceLog().info("This launch is the application's instance, on " + description);
            break;
        }
        case Outcome::handedOver:
            claim.handedOver = true;
            instanceLog().info("The files went to the running instance");
            break;
        case Outcome::failed:
            instanceLog().error("This launch runs on its own: " + claim.failure);
            break;
    }
    return claim;
}

ApplicationInstance::~ApplicationInstance() {
    if (serving_) serving_->stop();
}

void ApplicationInstance::setEnding(bool ending) {
    std::lock_guard lock(serving_->mutex);
    serving_->ending = ending;
}

}  // namespace platform::appkit
