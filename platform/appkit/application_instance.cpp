#include "platform/appkit/application_instance.hpp"

#include "platform/appkit/session_bus.hpp"

#include "platform/log/system_log.hpp"

#include <gio/gio.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace platform::appkit {

namespace {

using Clock = std::chrono::steady_clock;

// Between two tries to reach a running instance that is ending or not yet serving.
constexpr auto kRetry = std::chrono::milliseconds(100);
// A running instance answers from a thread of its own, whatever its window does. One
// that has not answered in this long is asked again (the same request: it is taken
// once), so that a launch can say that it waits; a loaded machine may take longer, so
// each later try waits longer, up to kLongestAnswer.
constexpr auto kFirstAnswer = std::chrono::seconds(2);
constexpr auto kLongestAnswer = std::chrono::seconds(10);
// How long a launch waits before it says so.
constexpr auto kTellAfter = std::chrono::seconds(2);
// A client of the socket has this long from connecting to send its whole request (a launch
// waits no longer for its answer, and asks again); one that stalls (stopped by Ctrl+Z, say)
// is dropped then, and meanwhile costs no other: each is served on its own.
constexpr auto kRequestTime = std::chrono::seconds(10);
// The clients served at once; more wait in the socket's backlog until one is done. A launch
// has one connection open at a time: a process with more (a launcher that keeps them open,
// opening another as each is dropped) is held to a few, so that it never takes the places
// of the launches after it.
constexpr std::size_t kMostClients = 64;
constexpr std::size_t kMostClientsOfAProcess = 4;
// What the unfinished requests of all clients hold together, at most: past it, the client
// holding most is dropped (told "too-large"), so that no set of launchers makes the window
// hold more.
constexpr std::size_t kAllRequestsBytes = 16u << 20;
// A request names no more files than a command line holds (a launch with more sends them
// in several requests, each of at most kRequestBytes), each an absolute path no longer than
// the system opens; its id is short. What is more is no request of a launch's.
constexpr std::size_t kMostNames = 65536;
constexpr std::size_t kLongestName = PATH_MAX;
constexpr std::size_t kLongestId = 64;
constexpr std::size_t kRequestBytes = 1u << 20;
// How many requests the instance remembers having taken.
constexpr std::size_t kRememberedRequests = 256;
// The verb of a request through the socket: "open-once", the request's id, the files,
// each ended by a NUL, then an empty part.
constexpr std::string_view kOpenVerb = "open-once";
// The key of the request's id in the platform data of Activate and Open.
constexpr const char* kRequestKey = "glyphwright-request-id";

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
// Answered by a launch that has the name but is not yet the instance: asked again, it is.
std::string startingErrorOf(const std::string& id) { return id + ".Error.Starting"; }
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

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

// An id no other launch has: 128 random bits.
std::string newRequestId() {
    std::random_device random;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        id += part;
    }
    return id;
}

// The user id of the bus connection `name`; none when the bus does not say.
std::optional<uid_t> unixUserOf(GDBusConnection* connection, const char* name) {
    GError* error = nullptr;
    const Variant reply(g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "GetConnectionUnixUser",
                                                    g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                                                    G_DBUS_CALL_FLAGS_NONE, 30'000, nullptr, &error));
    g_clear_error(&error);
    if (!reply) return std::nullopt;
    guint32 uid = 0;
    g_variant_get(reply.get(), "(u)", &uid);
    return static_cast<uid_t>(uid);
}

// The process at the other end of the connected socket `fd` when it runs as this user.
std::optional<pid_t> peerOfThisUser(int fd) {
    struct ucred peer {};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer ||
        peer.uid != ::getuid()) {
        return std::nullopt;
    }
    return peer.pid;
}

// The path by which the entry `name` of the open folder `folder` is reached, however long
// the folder's own path is: a socket's path has room for about a hundred bytes only.
std::string pathWithin(int folder, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

bool socketAddressOf(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

// Waits until `fd` is ready for `events` or `deadline` passes; false then.
bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd, events, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

struct ApplicationInstance::Serving {
    std::mutex mutex;
    // Requests are taken only once this launch is the instance: one taken before would be
    // dropped with the launch should it give up waiting (asked to end) after all.
    bool taking = false;
    bool ending = false;
    Handler handler;
    std::string id;
    // The ids of the requests taken, the oldest first.
    std::deque<std::string> taken;
    std::set<std::string> takenIds;

    // Served on the session bus.
    GDBusConnection* connection = nullptr;
    std::unique_ptr<BusLoopThread> loop;
    guint registration = 0;

    // Served in the private folder.
    int folderFd = -1;
    std::string folderPath;
    int lockFd = -1;
    int listenFd = -1;
    std::array<int, 2> wake{-1, -1};
    std::string socketName;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    std::thread socketThread;

    ~Serving() { stop(); }

    enum class Taken { now, before, refused, notYet, unanswered };

    // From now on this launch is the instance.
    void startTaking() {
        std::lock_guard lock(mutex);
        taking = true;
    }

    // Hands the request to the handler unless ending. A request taken before is not
    // handed over again (its launch asked again after an answer it did not get), and
    // counts as taken even while ending: its files are in the window, and go with the end's
    // save. `answer`, when given, tells the launch that its files were taken before they
    // are: a launch that is gone, or no longer waits for the answer, has them not taken.
    Taken accept(std::vector<std::string> files, const std::string& requestId,
                 const std::function<bool()>& answer = {}) {
        std::lock_guard lock(mutex);
        if (!taking) return Taken::notYet;
        if (!requestId.empty() && takenIds.count(requestId)) return Taken::before;
        if (ending) return Taken::refused;
        if (answer && !answer()) return Taken::unanswered;
        if (!requestId.empty()) {
            taken.push_back(requestId);
            takenIds.insert(requestId);
            if (taken.size() > kRememberedRequests) {
                takenIds.erase(taken.front());
                taken.pop_front();
            }
        }
        if (handler) handler(std::move(files));
        return Taken::now;
    }

    void stop() {
        stopBus();
        stopSocket();
    }

    // --- the session bus ---

    static void onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
                             const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                             gpointer data) {
        auto* self = static_cast<Serving*>(data);
        // A bus may let other users in: their calls are no launches of this user's. A
        // launch that has gone since it called (it gave up waiting, and said so) does not
        // have its files taken either.
        const auto caller = sender ? unixUserOf(connection, sender) : std::nullopt;
        if (!caller || *caller != ::getuid()) {
            instanceLog().error(std::string(caller ? "A call from another user was refused: "
                                                   : "A call whose launch has gone was not taken: ") +
                                (sender ? sender : "?"));
            g_dbus_method_invocation_return_dbus_error(invocation, kAccessDenied,
                                                       "Only the user's own launches are heard.");
            return;
        }
        std::vector<std::string> files;
        GVariant* platformData = nullptr;
        if (g_strcmp0(method, "Open") == 0) {
            // Counted before any is taken: more than a launch names is no launch's.
            if (GVariant* named = g_variant_get_child_value(parameters, 0)) {
                const auto count = g_variant_n_children(named);
                g_variant_unref(named);
                if (count > kMostNames) {
                    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.LimitsExceeded",
                                                               "More files than a launch names.");
                    return;
                }
            }
            GVariantIter* uris = nullptr;
            g_variant_get(parameters, "(as@a{sv})", &uris, &platformData);
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
        } else if (g_strcmp0(method, "Activate") == 0) {
            g_variant_get(parameters, "(@a{sv})", &platformData);
        } else {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.NotSupported",
                                                       "The application has no actions.");
            return;
        }
        std::string requestId;
        if (platformData) {
            const gchar* text = nullptr;
            if (g_variant_lookup(platformData, kRequestKey, "&s", &text) && text) requestId = text;
            g_variant_unref(platformData);
        }
        switch (self->accept(std::move(files), requestId)) {
            case Taken::refused:
                g_dbus_method_invocation_return_dbus_error(invocation, endingErrorOf(self->id).c_str(),
                                                           "The application is ending; it may be started again then.");
                return;
            case Taken::notYet:
                g_dbus_method_invocation_return_dbus_error(invocation, startingErrorOf(self->id).c_str(),
                                                           "The application is starting; it may be asked again.");
                return;
            case Taken::now:
            case Taken::before:
            case Taken::unanswered: break;
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
                    GVariant* parameters, const char* replyType, GError** error, int timeoutMs = 30'000) {
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

    // A client of the socket, its request read part by part as it comes (the verb, the
    // request's id, the files, each ended by a NUL, then an empty part): what is no request
    // of a launch's is found at its first byte that cannot belong to one, and nothing of a
    // request is held twice.
    struct Client {
        int fd = -1;
        pid_t process = 0;
        Clock::time_point deadline;
        std::string part;
        std::size_t partsEnded = 0;
        std::string id;
        std::vector<std::string> files;
        // Its request has ended: nothing may follow.
        bool whole = false;
        // The bytes it holds, counted with what holding its names costs.
        std::size_t held = 0;

        // Takes what came next, counting what it holds in `heldInAll` too; false when it
        // makes the whole no request of a launch's.
        bool take(std::string_view bytes, std::size_t& heldInAll) {
            for (std::size_t from = 0; from < bytes.size();) {
                if (whole) return false;
                const auto nul = bytes.find('\0', from);
                const auto piece = bytes.substr(from, (nul == std::string_view::npos ? bytes.size() : nul) - from);
                if (part.size() + piece.size() > longestPart()) return false;
                part.append(piece);
                count(piece.size(), heldInAll);
                if (nul == std::string_view::npos) break;
                from = nul + 1;
                if (!endPart(heldInAll)) return false;
            }
            return true;
        }

    private:
        std::size_t longestPart() const {
            return partsEnded == 0 ? kOpenVerb.size() : partsEnded == 1 ? kLongestId : kLongestName;
        }
        void count(std::size_t bytes, std::size_t& heldInAll) {
            held += bytes;
            heldInAll += bytes;
        }
        bool endPart(std::size_t& heldInAll) {
            const std::size_t ended = partsEnded++;
            if (ended == 0) {
                if (part != kOpenVerb) return false;
            } else if (ended == 1) {
                if (part.empty()) return false;
                id = part;
            } else if (part.empty()) {
                whole = true;
            } else {
                // A launch names absolute paths: a relative one would be taken from the
                // window's working folder, not the launch's.
                if (part.front() != '/' || files.size() == kMostNames) return false;
                // A name's string, and its share of the list's spare room.
                count(2 * sizeof(std::string), heldInAll);
                files.push_back(part);
            }
            part.clear();
            return true;
        }
    };

    enum class Read { more, done };

    void serveSocket() {
        socketThread = std::thread([this] {
            std::vector<Client> clients;
            std::size_t heldInAll = 0;
            for (;;) {
                std::vector<pollfd> watched{{wake[0], POLLIN, 0},
                                            {listenFd, static_cast<short>(clients.size() < kMostClients ? POLLIN : 0), 0}};
                auto nearest = Clock::time_point::max();
                for (const auto& client : clients) {
                    watched.push_back({client.fd, POLLIN, 0});
                    nearest = std::min(nearest, client.deadline);
                }
                const auto left =
                    clients.empty()
                        ? -1
                        : std::max<long long>(
                              0, std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()).count());
                if (::poll(watched.data(), watched.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
                if (watched[0].revents) break;
                // Read first, then dropped: the clients' places in `watched` follow theirs.
                std::vector<bool> done(clients.size(), false);
                for (std::size_t i = 0; i < clients.size(); ++i) {
                    if (watched[i + 2].revents) done[i] = readFrom(clients[i], heldInAll) == Read::done;
                }
                // Past what all may hold, those holding most go first.
                while (heldInAll > kAllRequestsBytes) {
                    std::optional<std::size_t> most;
                    for (std::size_t i = 0; i < clients.size(); ++i) {
                        if (!done[i] && (!most || clients[i].held > clients[*most].held)) most = i;
                    }
                    if (!most) break;
                    instanceLog().error("A request past what the window holds for requests was refused");
                    constexpr std::string_view kTooLarge = "too-large\n";
                    [[maybe_unused]] const auto told =
                        ::send(clients[*most].fd, kTooLarge.data(), kTooLarge.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    done[*most] = true;
                    heldInAll -= clients[*most].held;
                }
                const auto now = Clock::now();
                std::size_t kept = 0;
                for (std::size_t i = 0; i < clients.size(); ++i) {
                    if (done[i] || clients[i].deadline <= now) {
                        ::close(clients[i].fd);
                        if (!done[i]) heldInAll -= clients[i].held;
                    } else {
                        // Not onto itself: a string moved onto itself may be left empty.
                        if (kept != i) clients[kept] = std::move(clients[i]);
                        ++kept;
                    }
                }
                clients.resize(kept);
                if (watched[1].revents & POLLIN) acceptClients(clients);
            }
            for (const auto& client : clients) ::close(client.fd);
        });
    }

    // Takes the connections waiting, while there is room: another user's are refused, and
    // those of a process that holds its share already are closed at once.
    void acceptClients(std::vector<Client>& clients) {
        // A few at a time, so that a flood of connections does not keep the clients
        // served waiting.
        for (int round = 0; round < 256 && clients.size() < kMostClients; ++round) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            const auto process = peerOfThisUser(fd);
            if (!process) {
                instanceLog().error("A request from another user was refused");
                ::close(fd);
                continue;
            }
            const auto ofProcess = std::count_if(clients.begin(), clients.end(),
                                                 [&](const Client& client) { return client.process == *process; });
            if (static_cast<std::size_t>(ofProcess) >= kMostClientsOfAProcess) {
                ::close(fd);
                continue;
            }
            Client client;
            client.fd = fd;
            client.process = *process;
            client.deadline = Clock::now() + kRequestTime;
            clients.push_back(std::move(client));
        }
    }

    // Reads what `client` has sent, as far as all clients together may hold; done once it
    // is done with (answered, gone, or what it sends is no request of a launch's).
    Read readFrom(Client& client, std::size_t& heldInAll) {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(client.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Read::more : drop(client, heldInAll);
            if (got == 0) break;
            if (!client.take(std::string_view(buffer, static_cast<std::size_t>(got)), heldInAll)) {
                return drop(client, heldInAll);
            }
            // The rest waits in the socket until it is decided who goes.
            if (heldInAll > kAllRequestsBytes) return Read::more;
        }
        if (client.whole) answer(client);
        return drop(client, heldInAll);
    }

    Read drop(const Client& client, std::size_t& heldInAll) {
        heldInAll -= client.held;
        return Read::done;
    }

    // A whole request, answered "ok" (and then taken) or "ending"; nothing while this
    // launch is not the instance yet. A launch that no longer waits for the answer (it
    // gave up waiting, or went) was told nothing: its files are not taken.
    void answer(Client& client) {
        const auto reply = [&client](std::string_view text) {
            return ::send(client.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                   static_cast<ssize_t>(text.size());
        };
        switch (accept(std::move(client.files), client.id, [&] { return reply("ok\n"); })) {
            case Taken::before: reply("ok\n"); break;
            case Taken::refused: reply("ending\n"); break;
            case Taken::now:
            case Taken::notYet:
            case Taken::unanswered: break;
        }
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
        if (!socketName.empty() && folderFd >= 0 &&
            ::fstatat(folderFd, socketName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_dev == socketDevice &&
            info.st_ino == socketInode) {
            ::unlinkat(folderFd, socketName.c_str(), 0);
        }
        socketName.clear();
        // The lock goes last: a launch that takes it finds no socket of ours.
        if (lockFd >= 0) ::close(lockFd);
        lockFd = -1;
        if (folderFd >= 0) ::close(folderFd);
        folderFd = -1;
    }
};

namespace {

using Serving = ApplicationInstance::Serving;
using Waiting = ApplicationInstance::Waiting;

// A launch's wait for the running instance: the pause between tries, whether the launch
// gives up, and telling why it waits once it has waited a while.
class Wait {
public:
    explicit Wait(const ApplicationInstance::Options& options) : options_(options) {}

    void because(Waiting why) {
        if (Clock::now() - started_ < kTellAfter || (toldAny_ && told_ == why)) return;
        toldAny_ = true;
        told_ = why;
        if (options_.waiting) options_.waiting(why);
    }
    // Waits between tries; false when the launch gives up.
    bool goOn() {
        std::this_thread::sleep_for(kRetry);
        return !(options_.givingUp && options_.givingUp());
    }
    // How long the next try waits for an answer.
    std::chrono::milliseconds answerTime() {
        return std::min<std::chrono::milliseconds>(kFirstAnswer * ++tries_, kLongestAnswer);
    }

private:
    const ApplicationInstance::Options& options_;
    const Clock::time_point started_ = Clock::now();
    bool toldAny_ = false;
    Waiting told_ = Waiting::ending;
    int tries_ = 0;
};

enum class Outcome { instance, handedOver, failed, gaveUp };

// A launch's files as requests the instance takes: of at most kMostNames names and about
// kRequestBytes each (one request at least, with none for a plain start), each with an id
// of its own. They go one after the other, in order.
struct Request {
    std::string id;
    std::vector<std::string> files;
};
std::vector<Request> requestsFor(const std::vector<std::string>& files, const std::string& id) {
    std::vector<Request> requests(1);
    std::size_t bytes = 0;
    for (const auto& file : files) {
        if (!requests.back().files.empty() &&
            (requests.back().files.size() == kMostNames || bytes + file.size() + 1 > kRequestBytes)) {
            requests.emplace_back();
            bytes = 0;
        }
        requests.back().files.push_back(file);
        bytes += file.size() + 1;
    }
    for (std::size_t i = 0; i < requests.size(); ++i) requests[i].id = i == 0 ? id : id + "." + std::to_string(i);
    return requests;
}

// How far a launch has handed its requests over.
struct Handing {
    std::vector<Request> requests;
    std::size_t done = 0;
    std::size_t filesDone = 0;
    bool finished() const { return done == requests.size(); }
    const Request& next() const { return requests[done]; }
    void handed() { filesDone += requests[done++].files.size(); }
};

constexpr const char* kGaveUp = "it was asked to end while waiting for the running instance";

// On the bus: owns the name, or hands the files to its owner. None when there is no bus
// of the user's own, or the name's owner is another user's.
std::optional<Outcome> claimOnBus(Serving& serving, Handing& handing, const ApplicationInstance::Options& options,
                                  std::string& failure) {
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
    if (answer == 1 || answer == 4) {  // primary owner, or already
        serving.startTaking();
        return Outcome::instance;
    }
    const std::string self = g_dbus_connection_get_unique_name(serving.connection);
    Wait wait(options);
    do {
        const auto owned = serving.callBus("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           "GetNameOwner", g_variant_new("(s)", id.c_str()), "(s)", &error);
        g_clear_error(&error);
        if (!owned) continue;  // between two owners
        const gchar* owner = nullptr;
        g_variant_get(owned.get(), "(&s)", &owner);
        if (self == owner) {
            serving.startTaking();
            return Outcome::instance;
        }
        // A bus shared with other users: their instance gets none of this user's files.
        const auto user = unixUserOf(serving.connection, owner);
        if (!user) continue;  // gone meanwhile
        if (*user != ::getuid()) {
            instanceLog().error("The owner of " + id + " on the session bus is another user's; the socket is used");
            serving.stopBus();
            return std::nullopt;
        }
        const auto answerTime = wait.answerTime();
        for (; !handing.finished(); handing.handed()) {
            const auto& request = handing.next();
            GVariant* parameters = nullptr;
            GVariantBuilder platformData;
            g_variant_builder_init(&platformData, G_VARIANT_TYPE("a{sv}"));
            if (const char* startup = std::getenv("DESKTOP_STARTUP_ID"); startup && *startup) {
                g_variant_builder_add(&platformData, "{sv}", "desktop-startup-id", g_variant_new_string(startup));
            }
            g_variant_builder_add(&platformData, "{sv}", kRequestKey, g_variant_new_string(request.id.c_str()));
            if (request.files.empty()) {
                parameters = g_variant_new("(a{sv})", &platformData);
            } else {
                GVariantBuilder uris;
                g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
                for (const auto& path : request.files) {
                    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
                    if (uri) g_variant_builder_add(&uris, "s", uri);
                    g_free(uri);
                }
                parameters = g_variant_new("(asa{sv})", &uris, &platformData);
            }
            if (!serving.callBus(owner, objectPathOf(id).c_str(), kInterface,
                                 request.files.empty() ? "Activate" : "Open", parameters, nullptr, &error,
                                 static_cast<int>(answerTime.count()))) {
                break;
            }
        }
        if (handing.finished()) return Outcome::handedOver;
        const auto name = remoteErrorName(error);
        const bool timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                              name == "org.freedesktop.DBus.Error.NoReply";
        const std::string message = errorText(error);
        g_clear_error(&error);
        if (name == endingErrorOf(id)) {
            wait.because(Waiting::ending);
        } else if (timedOut) {
            wait.because(Waiting::noAnswer);
        } else if (name == "org.freedesktop.DBus.Error.UnknownMethod" ||
                   name == "org.freedesktop.DBus.Error.UnknownObject" ||
                   name == "org.freedesktop.DBus.Error.UnknownInterface" || name == kAccessDenied) {
            // Whatever owns the name does not serve the application's interface.
            failure = "the owner of " + id + " does not take files: " + message;
            return Outcome::failed;
        }
        // Otherwise the owner went meanwhile, or its answer did not come, or the name has
        // just passed to a launch not yet the instance (Starting): asked again.
    } while (wait.goOn());
    failure = kGaveUp;
    return Outcome::gaveUp;
}

// Whether the open folder `fd` is the user's own and no one else's to enter.
bool isPrivate(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && isPrivateFolder(info);
}

// A folder of the user's own, for no one else, in which the lock file can be made: the
// runtime folder, else one made in the temporary folder. Opens `serving`'s folder and
// lock file; false (with why) when no folder will do.
bool openPrivateFolder(Serving& serving, const ApplicationInstance::Options& options, std::string& failure) {
    std::vector<std::string> tried;
    const auto use = [&](const std::string& folder) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            tried.push_back(folder + ": " + std::strerror(errno));
            return false;
        }
        if (!isPrivate(fd)) {
            ::close(fd);
            tried.push_back(folder + " is not a folder of the user's own, closed to others");
            return false;
        }
        const std::string lockName = serving.id + ".lock";
        const int lock = ::openat(fd, lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        struct stat info {};
        if (lock < 0 || ::fstat(lock, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
            tried.push_back(folder + "/" + lockName + ": " +
                            (lock < 0 ? std::strerror(errno) : "not a file of the user's own"));
            if (lock >= 0) ::close(lock);
            ::close(fd);
            return false;
        }
        serving.folderFd = fd;
        serving.folderPath = folder;
        serving.lockFd = lock;
        return true;
    };
    if (!options.privateFolder.empty()) {
        if (use(options.privateFolder)) return true;
    } else {
        if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/' && use(runtime)) {
            return true;
        }
        const char* temporary = std::getenv("TMPDIR");
        const std::string folder = std::string(temporary && *temporary == '/' ? temporary : "/tmp") + "/" +
                                   serving.id + "-" + std::to_string(::getuid());
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            tried.push_back(folder + ": " + std::strerror(errno));
        } else if (use(folder)) {
            return true;
        }
    }
    failure = "no folder of the user's own for the lock:";
    for (const auto& why : tried) failure += " " + why + ";";
    failure.pop_back();
    return false;
}

// The name this run's socket has in the folder: a name of its own per run, so that nothing
// another run left is ever in the way.
bool isSocketName(const std::string& id, std::string_view name) {
    constexpr std::string_view suffix = ".socket";
    return name.size() > id.size() + suffix.size() && name.substr(0, id.size() + 1) == id + "." &&
           name.substr(name.size() - suffix.size()) == suffix;
}

// Sends the request to the socket the lock file names: "ok", "ending", or empty when no
// instance of this user's answered there in `answerTime`. Once it stops waiting, the
// instance can no longer answer: an answer that came meanwhile is read, and one that did
// not come never will, so the files are taken exactly when this says "ok".
std::string askBySocket(const Serving& serving, const std::vector<std::string>& files, const std::string& requestId,
                        std::chrono::milliseconds answerTime) {
    char named[4096] = {};
    const ssize_t length = ::pread(serving.lockFd, named, sizeof named - 1, 0);
    if (length <= 0) return {};
    std::string name(named, static_cast<std::size_t>(length));
    // An earlier version wrote the socket's whole path.
    const std::string path = name.front() == '/' ? name : pathWithin(serving.folderFd, name);
    sockaddr_un address{};
    if (name.find('\0') != std::string::npos || !socketAddressOf(path, address)) return {};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return {};
    const auto deadline = Clock::now() + answerTime;
    std::string reply;
    // A full backlog (an instance stopped for long) refuses at once rather than blocking.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && peerOfThisUser(fd)) {
        std::string request(kOpenVerb);
        request.push_back('\0');
        request.append(requestId.c_str(), requestId.size() + 1);
        for (const auto& file : files) request.append(file.c_str(), file.size() + 1);
        request.push_back('\0');
        bool sent = true;
        for (std::size_t at = 0; sent && at < request.size();) {
            const ssize_t n = ::send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                sent = errno == EINTR || waitReady(fd, POLLOUT, deadline);
                continue;
            }
            if (n <= 0) sent = false;
            else at += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        char buffer[64];
        bool ended = false;
        while (sent && waitReady(fd, POLLIN, deadline)) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            ended = got <= 0;
            if (ended) break;
            reply.append(buffer, static_cast<std::size_t>(got));
        }
        if (sent && !ended) {
            ::shutdown(fd, SHUT_RD);
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
}

// Removes the sockets that instances killed in this folder left behind: while this launch
// holds the lock, no other serves there.
void removeLeftSockets(const Serving& serving) {
    DIR* listing = ::fdopendir(::fcntl(serving.folderFd, F_DUPFD_CLOEXEC, 0));
    if (!listing) return;
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        struct stat info {};
        if (isSocketName(serving.id, entry->d_name) &&
            ::fstatat(serving.folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(info.st_mode)) {
            ::unlinkat(serving.folderFd, entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

// The socket this launch serves on as the instance, under a name of its own, written into
// the lock file for later launches to find. False when it cannot be made.
bool serveInFolder(Serving& serving, std::string& failure) {
    removeLeftSockets(serving);
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = serving.id + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(random() % 1000000) + ".socket";
        sockaddr_un address{};
        if (!socketAddressOf(pathWithin(serving.folderFd, name), address)) break;
        // Not blocking: the clients waiting are taken until there are none.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) break;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EADDRINUSE) continue;
            failure = "the socket could not be made in " + serving.folderPath + ": " + std::strerror(error);
            return false;
        }
        struct stat info {};
        if (::listen(fd, SOMAXCONN) != 0 || ::fstatat(serving.folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::pipe2(serving.wake.data(), O_CLOEXEC) != 0) {
            failure = "the socket could not be served in " + serving.folderPath + ": " + std::strerror(errno);
            ::close(fd);
            ::unlinkat(serving.folderFd, name.c_str(), 0);
            return false;
        }
        serving.listenFd = fd;
        serving.socketName = name;
        serving.socketDevice = info.st_dev;
        serving.socketInode = info.st_ino;
        if (::ftruncate(serving.lockFd, 0) != 0 ||
            ::pwrite(serving.lockFd, name.c_str(), name.size(), 0) != static_cast<ssize_t>(name.size())) {
            failure = "the lock file could not be written: " + std::string(std::strerror(errno));
            return false;
        }
        // The lock is this launch's: it is the instance.
        serving.startTaking();
        serving.serveSocket();
        return true;
    }
    failure = "no socket could be made in " + serving.folderPath;
    return false;
}

Outcome claimInFolder(Serving& serving, Handing& handing, const ApplicationInstance::Options& options,
                      std::string& failure, std::string& description) {
    if (!openPrivateFolder(serving, options, failure)) return Outcome::failed;
    Wait wait(options);
    do {
        if (::flock(serving.lockFd, LOCK_EX | LOCK_NB) == 0) {
            if (!serveInFolder(serving, failure)) return Outcome::failed;
            description = serving.folderPath + "/" + serving.socketName;
            return Outcome::instance;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            failure = "the lock file in " + serving.folderPath + " could not be locked: " + std::strerror(errno);
            return Outcome::failed;
        }
        // The lock is held: an instance runs, whether or not it answers. Another is never
        // started beside it.
        const auto answerTime = wait.answerTime();
        std::string reply;
        while (!handing.finished() &&
               (reply = askBySocket(serving, handing.next().files, handing.next().id, answerTime)) == "ok") {
            handing.handed();
        }
        if (handing.finished()) return Outcome::handedOver;
        wait.because(reply == "ending" ? Waiting::ending : Waiting::noAnswer);
    } while (wait.goOn());
    failure = kGaveUp;
    return Outcome::gaveUp;
}

}  // namespace

ApplicationInstance::Claim ApplicationInstance::claim(const std::string& applicationId,
                                                      const std::vector<std::string>& files, Handler handler,
                                                      Options options) {
    Claim claim;
    auto serving = std::make_shared<Serving>();
    serving->id = applicationId;
    serving->handler = std::move(handler);
    Handing handing{requestsFor(files, newRequestId())};
    std::string description = "the session bus";
    auto outcome = claimOnBus(*serving, handing, options, claim.failure);
    if (!outcome) outcome = claimInFolder(*serving, handing, options, claim.failure, description);
    claim.filesHandedOver = handing.filesDone;
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
        case Outcome::gaveUp:
            claim.gaveUp = true;
            [[fallthrough]];
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
