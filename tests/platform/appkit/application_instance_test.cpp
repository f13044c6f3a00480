// One instance of the application per user: on a session bus of the test's own, and
// without a bus through a private folder. The first claim is the instance; later ones
// hand their files over and end; while the instance ends, or does not answer, they wait
// (and a request asked again is taken once), and the one waiting becomes the instance
// once it has gone (or gives up when asked to). Only the user's own processes and
// folders count: another user's bus, folder, socket or calls are never used or heard.
#include "platform/appkit/application_instance.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/machine_pace.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_socket.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace pa = platform::appkit;
using Files = std::vector<std::string>;
using Waiting = pa::ApplicationInstance::Waiting;

constexpr const char* kId = "com.norvane.glyphwright.instancetest";
constexpr const char* kChildVariable = "GW_INSTANCE_CHILD";
constexpr const char* kRecordVariable = "GW_INSTANCE_RECORD";
constexpr const char* kSocketVariable = "GW_INSTANCE_SOCKET";
constexpr const char* kHoldVariable = "GW_INSTANCE_HOLD";
constexpr auto kDeadline = std::chrono::seconds(60);

bool instanceWaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Received {
    std::mutex mutex;
    std::vector<Files> requests;
    pa::ApplicationInstance::Handler handler() {
        return [this](Files files) {
            std::lock_guard lock(mutex);
            requests.push_back(std::move(files));
        };
    }
    std::vector<Files> taken() {
        std::lock_guard lock(mutex);
        return requests;
    }
};

// A folder of the test's own for the runtime folder (0700).
fs::path privateFolder(const gwtest::TempDir& dir, const std::string& name) {
    const auto folder = dir / name;
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    return folder;
}

// The sockets of the application in `folder`.
std::vector<std::string> socketsIn(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& name : gwtest::namesIn(folder)) {
        if (name.rfind(std::string(kId) + ".", 0) == 0 && name.size() > 7 && name.substr(name.size() - 7) == ".socket") {
            found.push_back(name);
        }
    }
    return found;
}

// A request in the instance's own form, sent through the socket at `path`; with `leave`,
// the sender goes before the answer. Answers the reply, "" when none came.
std::string sendRequest(const fs::path& path, const Files& files, bool leave = false) {
    const int fd = gwtest::connectToSocket(path);
    std::string reply;
    if (fd >= 0) {
        std::string request("open-once\0a-request-of-its-own\0", 31);
        for (const auto& file : files) request.append(file.c_str(), file.size() + 1);
        request.push_back('\0');
        [[maybe_unused]] const auto sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char buffer[64];
        for (ssize_t got; !leave && (got = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, got);
        ::close(fd);
    }
    return reply;
}

// What another process of the test does, as a launch of this test program (possibly as
// another user): "serve" claims and records each request it takes as a line (the files
// separated by '|'), "call-open" calls Open on the instance on the session bus, "send"
// sends a request through the socket at GW_INSTANCE_SOCKET, "hold" keeps GW_INSTANCE_HOLD
// connections to it open, "listen" serves a socket there of its own that records how many
// bytes it was sent. Each writes what happened to its standard output.
TEST(ApplicationInstanceChildProcess, Acts) {
    const char* mode = std::getenv(kChildVariable);
    if (!mode) GTEST_SKIP() << "runs only as another process of the test";
    const std::string action = mode;
    const char* record = std::getenv(kRecordVariable);
    const char* socketPath = std::getenv(kSocketVariable);
    const auto say = [](const std::string& line) {
        std::printf("said: %s\n", line.c_str());
        std::fflush(stdout);
    };
    if (action == "serve") {
        auto claim = pa::ApplicationInstance::claim(kId, {}, [record](Files files) {
            std::string line;
            for (const auto& file : files) line += (line.empty() ? "" : "|") + file;
            std::ofstream(record, std::ios::app) << line << "\n";
        });
        say(claim.instance ? "instance on " + claim.instance->description() : "no instance: " + claim.failure);
        for (;;) ::pause();
    } else if (action == "call-open") {
        GError* error = nullptr;
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            std::getenv("DBUS_SESSION_BUS_ADDRESS"),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        ASSERT_TRUE(bus) << error->message;
        const char* uris[] = {"file:///tmp/from-another-user.png", nullptr};
        GVariant* reply = g_dbus_connection_call_sync(
            bus, kId, "/com/norvane/glyphwright/instancetest", "org.freedesktop.Application", "Open",
            g_variant_new("(^asa{sv})", uris, nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, &error);
        if (reply) {
            say("ok");
            g_variant_unref(reply);
        } else {
            gchar* name = g_dbus_error_get_remote_error(error);
            say(name ? name : error->message);
            g_free(name);
        }
        g_object_unref(bus);
    } else if (action == "send") {
        const auto reply = sendRequest(socketPath, {"/tmp/from-another-user.png"});
        say(reply.empty() ? "no answer" : reply);
    } else if (action == "hold") {
        // GW_INSTANCE_HOLD connections, each opened again as soon as the instance closes it.
        const int kHeld = std::atoi(std::getenv(kHoldVariable));
        std::vector<pollfd> held;
        const auto open = [&] {
            const int fd = gwtest::connectToSocket(socketPath, SOCK_NONBLOCK);
            return pollfd{fd, POLLIN, 0};
        };
        for (int i = 0; i < kHeld; ++i) held.push_back(open());
        say("holding " + std::to_string(kHeld));
        for (;;) {
            for (auto& connection : held) {
                if (connection.fd < 0) connection = open();
            }
            if (::poll(held.data(), held.size(), 100) <= 0) continue;
            for (auto& connection : held) {
                if (connection.fd < 0 || !connection.revents) continue;
                char byte;
                if (::read(connection.fd, &byte, 1) == 0 || (connection.revents & (POLLHUP | POLLERR))) {
                    ::close(connection.fd);
                    connection.fd = -1;
                }
            }
        }
    } else if (action == "listen") {
        const int fd = gwtest::listenAtSocket(socketPath, 4);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ::chmod(socketPath, 0777);
        say("listening");
        for (;;) {
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::size_t bytes = 0;
            char buffer[4096];
            for (ssize_t got; (got = ::read(client, buffer, sizeof buffer)) > 0;) bytes += static_cast<std::size_t>(got);
            std::ofstream(record, std::ios::app) << bytes << "\n";
            [[maybe_unused]] const auto sent = ::send(client, "ok\n", 3, MSG_NOSIGNAL);
            ::close(client);
        }
    }
}

// Another process of the test, ended (by its pid) when the object goes.
class InstanceChild {
public:
    InstanceChild(const std::string& action, const fs::path& folder,
                  std::vector<std::pair<std::string, std::string>> environment = {},
                  std::optional<std::pair<uid_t, gid_t>> user = std::nullopt)
        : out_(folder / (action + ".out")), record_(folder / (action + ".record")) {
        environment.emplace_back(kChildVariable, action);
        environment.emplace_back(kRecordVariable, record_.string());
        gwtest::SelfLaunch launch{"ApplicationInstanceChildProcess.Acts", environment, out_};
        launch.user = user;
        pid_ = gwtest::spawnSelf(launch);
        EXPECT_GT(pid_, 0);
    }
    ~InstanceChild() { end(); }

    void end() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Waits for what it says (its first line of output of its own).
    std::string said() {
        constexpr std::string_view kSaid = "said: ";
        std::string text;
        std::size_t at = std::string::npos;
        instanceWaitFor([&] {
            text = gwtest::readFile(out_);
            at = text.find(kSaid);
            return at != std::string::npos && text.find('\n', at) != std::string::npos;
        });
        if (at == std::string::npos) return "(nothing said)";
        at += kSaid.size();
        return text.substr(at, text.find('\n', at) - at);
    }
    std::vector<std::string> recorded() const {
        std::vector<std::string> lines;
        std::istringstream text(fs::exists(record_) ? gwtest::readFile(record_) : "");
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }
    // Whether it still runs (its status not yet taken, it has not ended).
    bool runs() const {
        int status = 0;
        return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
    }
    pid_t pid() const { return pid_; }

private:
    fs::path out_;
    fs::path record_;
    pid_t pid_ = -1;
};

// The test's own runtime and temporary folders, without a bus unless one is started.
struct InstanceScratch {
    gwtest::TempDir dir;
    fs::path runtime = privateFolder(dir, "runtime");
    fs::path temporary = privateFolder(dir, "tmp");
    gwtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
    gwtest::ScopedEnv temporaryEnv{"TMPDIR", temporary.string()};
    gwtest::ScopedEnv noBus{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
};

// An instance served by another process of the test, on a session bus of the test's own or
// through a private folder, stopped once it serves.
struct StoppedInstance {
    explicit StoppedInstance(bool onBus)
        : bus(onBus ? std::make_unique<gwtest::desktop::PrivateSessionBus>() : nullptr),
          running("serve", scratch.dir.path()) {}
    // Whether it served, and stopped.
    bool stop() { return running.said().rfind("instance on ", 0) == 0 && gwtest::stopWholly(running.pid()); }

    InstanceScratch scratch;
    std::unique_ptr<gwtest::desktop::PrivateSessionBus> bus;
    InstanceChild running;
};

TEST(ApplicationInstance, LaterLaunchesHandTheirFilesToTheInstanceAndWaitWhileItEnds) {
    struct Case {
        const char* name;
        bool onBus;
        // The runtime folder's path is longer than a socket's path may be.
        bool longPath;
    };
    for (const Case c : {Case{"on the session bus", true, false}, Case{"through a private folder", false, false},
                         Case{"through a private folder of a long path", false, true}}) {
        SCOPED_TRACE(c.name);
        InstanceScratch scratch;
        const auto runtime =
            c.longPath ? privateFolder(scratch.dir, std::string(90, 'r') + "/" + std::string(90, 'u')) : scratch.runtime;
        const gwtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.string());
        std::unique_ptr<gwtest::desktop::PrivateSessionBus> bus;
        if (c.onBus) bus = std::make_unique<gwtest::desktop::PrivateSessionBus>();

        Received first;
        auto claimed = pa::ApplicationInstance::claim(kId, {}, first.handler());
        ASSERT_TRUE(claimed.instance) << claimed.failure;
        EXPECT_EQ(claimed.instance->description() == "the session bus", c.onBus);
        auto instance = std::move(claimed.instance);

        Received unused;
        const Files files = {"/tmp/a picture.png", "/tmp/ünïcode/b.png", "/tmp/not-utf8-\xe9.png"};
        auto second = pa::ApplicationInstance::claim(kId, files, unused.handler());
        EXPECT_TRUE(second.handedOver) << second.failure;
        EXPECT_FALSE(second.instance);
        auto third = pa::ApplicationInstance::claim(kId, {}, unused.handler());
        EXPECT_TRUE(third.handedOver) << third.failure;
        EXPECT_EQ(first.taken(), (std::vector<Files>{files, {}}));

        // Ending: a later launch waits, says why once it has waited a while, then is the
        // instance once the first has gone.
        instance->setEnding(true);
        std::atomic<int> toldEnding{0};
        std::atomic<bool> done{false};
        pa::ApplicationInstance::Claim fourth;
        Received later;
        std::thread launch([&] {
            pa::ApplicationInstance::Options options;
            options.waiting = [&](Waiting why) { toldEnding += why == Waiting::ending ? 1 : 100; };
            fourth = pa::ApplicationInstance::claim(kId, {"/tmp/late.png"}, later.handler(), options);
            done = true;
        });
        EXPECT_TRUE(instanceWaitFor([&] { return toldEnding.load() > 0; }));
        EXPECT_FALSE(done);
        instance.reset();
        launch.join();
        EXPECT_EQ(toldEnding, 1);
        ASSERT_TRUE(fourth.instance) << fourth.failure;
        EXPECT_FALSE(fourth.handedOver);
        EXPECT_EQ(first.taken().size(), 2u);

        // A quit called off serves again; a launch asked to end while waiting gives up.
        fourth.instance->setEnding(true);
        fourth.instance->setEnding(false);
        EXPECT_TRUE(pa::ApplicationInstance::claim(kId, {"/tmp/c.png"}, unused.handler()).handedOver);
        EXPECT_EQ(later.taken(), (std::vector<Files>{{"/tmp/c.png"}}));
        fourth.instance->setEnding(true);
        pa::ApplicationInstance::Options givingUp;
        int tries = 0;
        givingUp.givingUp = [&] { return ++tries > 3; };
        const auto gaveUp = pa::ApplicationInstance::claim(kId, {"/tmp/d.png"}, unused.handler(), givingUp);
        EXPECT_FALSE(gaveUp.instance);
        EXPECT_FALSE(gaveUp.handedOver);
        EXPECT_TRUE(gaveUp.gaveUp);
        EXPECT_EQ(later.taken().size(), 1u);
    }
}

// An instance that does not answer (stopped, here) is another instance all the same: a
// launch waits for it and says why, never starts a second one beside it, and asks again
// with the same request, which the instance takes once when it answers at last.
TEST(ApplicationInstance, AnInstanceThatDoesNotAnswerIsWaitedForAndTakesARequestAskedAgainOnce) {
    for (const bool onBus : {true, false}) {
        SCOPED_TRACE(onBus ? "on the session bus" : "through a private folder");
        StoppedInstance stopped(onBus);
        ASSERT_TRUE(stopped.stop()) << stopped.running.said();
        auto& running = stopped.running;

        std::atomic<int> tries{0};
        std::atomic<bool> toldNoAnswer{false}, done{false};
        pa::ApplicationInstance::Claim claim;
        Received unused;
        std::thread launch([&] {
            pa::ApplicationInstance::Options options;
            options.waiting = [&](Waiting why) { toldNoAnswer = toldNoAnswer || why == Waiting::noAnswer; };
            options.givingUp = [&] {
                ++tries;
                return false;
            };
            claim = pa::ApplicationInstance::claim(kId, {"/tmp/while-stopped.png"}, unused.handler(), options);
            done = true;
        });
        // Asked more than once without an answer, and told why it waits.
        EXPECT_TRUE(instanceWaitFor([&] { return toldNoAnswer && tries >= 2; }));
        EXPECT_FALSE(done);
        ASSERT_EQ(::kill(running.pid(), SIGCONT), 0);
        launch.join();
        EXPECT_TRUE(claim.handedOver) << claim.failure;
        EXPECT_FALSE(claim.instance);
        EXPECT_EQ(unused.taken().size(), 0u);
        EXPECT_EQ(running.recorded(), std::vector<std::string>{"/tmp/while-stopped.png"});
    }
}

// A launch takes what later launches hand it only once it is the instance. One that waits
// for an instance that does not answer is given the name when that instance dies; asked to
// end before it has taken the window, it gives up, and a launch that came meanwhile has
// handed nothing to it: that launch becomes the instance itself, with its own file.
TEST(ApplicationInstance, ALaunchThatGivesUpHasTakenNothingAnotherLaunchHandedToIt) {
    InstanceScratch scratch;
    gwtest::desktop::PrivateSessionBus bus;
    InstanceChild running("serve", scratch.dir.path());
    ASSERT_EQ(running.said(), "instance on the session bus");
    ASSERT_TRUE(gwtest::stopWholly(running.pid()));

    // The waiting launch is held at its next question whether to give up, so that the
    // name passes to it before it can see that it is the owner.
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false, held = false, handedDone = false;
    Received waitingTook;
    pa::ApplicationInstance::Claim waiting;
    std::thread launch([&] {
        pa::ApplicationInstance::Options options;
        options.givingUp = [&] {
            std::unique_lock lock(mutex);
            if (!hold) return false;
            held = true;
            changed.notify_all();
            // Until the other launch is done; where it cannot be done before this one has
            // decided, for a while (the name is this one's by then).
            changed.wait_for(lock, kDeadline / 20, [&] { return handedDone; });
            return true;
        };
        waiting = pa::ApplicationInstance::claim(kId, {"/tmp/waiting.png"}, waitingTook.handler(), options);
    });
    {
        std::unique_lock lock(mutex);
        hold = true;
        ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return held; }));
    }
    running.end();
    Received laterTook;
    auto later = pa::ApplicationInstance::claim(kId, {"/tmp/later.png"}, laterTook.handler());
    {
        std::lock_guard lock(mutex);
        handedDone = true;
        changed.notify_all();
    }
    launch.join();
    EXPECT_TRUE(waiting.gaveUp);
    EXPECT_FALSE(waiting.instance);
    EXPECT_TRUE(waitingTook.taken().empty()) << "taken by a launch that gave up";
    EXPECT_FALSE(later.handedOver) << "handed to a launch that gave up";
    EXPECT_TRUE(later.instance) << later.failure;
    EXPECT_TRUE(laterTook.taken().empty());
}

// Clients that connect and stall (launchers stopped by Ctrl+Z, part of a request sent or
// none) cost only themselves: a launch beside them hands its file over at once (its bound
// scaled by the machine's pace now). One that goes on later has what it sent before taken
// with the rest.
TEST(ApplicationInstance, StalledConnectionsCostOnlyThemselves) {
    using namespace std::string_view_literals;
    const struct {
        const char* name;
        // Stalled here, or by launchers of their own, one connection each.
        int stalled, stalledLaunchers;
        std::string_view sent, rest;
    } cases[] = {
        {"one that sent part of a request and the rest later", 1, 0,
         "open-once\0a-request-sent-in-parts\0/tmp/first.png\0"sv, "/tmp/second.png\0\0"sv},
        {"forty that sent nothing", 0, 40, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstanceScratch scratch;
        InstanceChild running("serve", scratch.dir.path());
        ASSERT_EQ(running.said().rfind("instance on ", 0), 0u) << running.said();
        const auto sockets = socketsIn(scratch.runtime);
        ASSERT_EQ(sockets.size(), 1u);
        std::vector<std::unique_ptr<InstanceChild>> launchers;
        for (int i = 0; i < c.stalledLaunchers; ++i) {
            const auto folder = scratch.dir / ("launcher-" + std::to_string(i));
            fs::create_directories(folder);
            launchers.push_back(std::make_unique<InstanceChild>(
                "hold", folder,
                std::vector<std::pair<std::string, std::string>>{{kSocketVariable, (scratch.runtime / sockets.front()).string()},
                                                                 {kHoldVariable, "1"}}));
        }
        for (const auto& launcher : launchers) ASSERT_EQ(launcher->said(), "holding 1");
        std::vector<int> stalled;
        for (int i = 0; i < c.stalled; ++i) {
            // Past a full backlog a connection is refused for now, not waited for.
            int fd = -1;
            ASSERT_TRUE(instanceWaitFor([&] {
                fd = gwtest::connectToSocket(scratch.runtime / sockets.front(), SOCK_NONBLOCK);
                return fd >= 0 || errno != EAGAIN;
            }));
            ASSERT_GE(fd, 0) << std::strerror(errno);
            stalled.push_back(fd);
            if (!c.sent.empty()) {
                ASSERT_EQ(::send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.sent.size()));
            }
        }
        Received unused;
        gwtest::Pace pace;
        const auto started = std::chrono::steady_clock::now();
        const auto beside = pa::ApplicationInstance::claim(kId, {"/tmp/beside.png"}, unused.handler());
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_TRUE(beside.handedOver) << beside.failure;
        EXPECT_LT(took, pace.bound(std::chrono::seconds(5)));
        EXPECT_EQ(running.recorded(), std::vector<std::string>{"/tmp/beside.png"});
        if (!c.rest.empty()) {
            const int fd = stalled.front();
            ASSERT_EQ(::send(fd, c.rest.data(), c.rest.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.rest.size()));
            ::shutdown(fd, SHUT_WR);
            std::string reply;
            char buffer[64];
            ASSERT_TRUE(instanceWaitFor([&] {
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got > 0) reply.append(buffer, static_cast<std::size_t>(got));
                return got == 0 || (got < 0 && errno != EAGAIN);
            }));
            EXPECT_EQ(reply, "ok\n");
            EXPECT_EQ(running.recorded(), (std::vector<std::string>{"/tmp/beside.png", "/tmp/first.png|/tmp/second.png"}));
        }
        for (const int fd : stalled) ::close(fd);
    }
}

// A killed instance's socket goes when the next instance takes the folder: only the
// running instance's is there.
TEST(ApplicationInstance, TheSocketOfAKilledInstanceIsRemovedByTheNext) {
    InstanceScratch scratch;
    {
        InstanceChild killed("serve", scratch.dir.path());
        ASSERT_EQ(killed.said().rfind("instance on ", 0), 0u) << killed.said();
    }
    ASSERT_EQ(socketsIn(scratch.runtime).size(), 1u);
    Received taken;
    auto claim = pa::ApplicationInstance::claim(kId, {}, taken.handler());
    ASSERT_TRUE(claim.instance) << claim.failure;
    const auto sockets = socketsIn(scratch.runtime);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(claim.instance->description(), (scratch.runtime / sockets.front()).string());
    claim.instance.reset();
    EXPECT_TRUE(socketsIn(scratch.runtime).empty());
}

// A launch that goes before it was answered (the instance stopped meanwhile) was told
// nothing, or that its files were not opened: they are not taken when the instance goes on,
// and the launch costs it nothing. Whether it sent its request and went at once, or gave
// up waiting when it was asked to end.
TEST(ApplicationInstance, ALaunchThatGoesUnansweredIsNotTakenLaterAndCostsTheInstanceNothing) {
    for (const bool onBus : {true, false}) {
        SCOPED_TRACE(onBus ? "on the session bus" : "through a private folder");
        StoppedInstance stopped(onBus);
        ASSERT_TRUE(stopped.stop()) << stopped.running.said();
        auto& running = stopped.running;
        if (!onBus) {
            const auto sockets = socketsIn(stopped.scratch.runtime);
            ASSERT_EQ(sockets.size(), 1u);
            for (int i = 0; i < 3; ++i) sendRequest(stopped.scratch.runtime / sockets.front(), {"/tmp/left.png"}, true);
        }
        Received unused;
        pa::ApplicationInstance::Options givingUp;
        int tries = 0;
        givingUp.givingUp = [&] { return ++tries > 2; };
        const auto gaveUp = pa::ApplicationInstance::claim(kId, {"/tmp/gave-up.png"}, unused.handler(), givingUp);
        EXPECT_TRUE(gaveUp.gaveUp);
        EXPECT_FALSE(gaveUp.handedOver);
        ASSERT_EQ(::kill(running.pid(), SIGCONT), 0);
        // Two launches one after the other: by the second, the instance has read all that
        // came before the first.
        for (const char* file : {"/tmp/later.png", "/tmp/last.png"}) {
            const auto later = pa::ApplicationInstance::claim(kId, {file}, unused.handler());
            EXPECT_TRUE(later.handedOver) << later.failure;
        }
        EXPECT_TRUE(running.runs());
        EXPECT_EQ(running.recorded(), (std::vector<std::string>{"/tmp/later.png", "/tmp/last.png"}));
        EXPECT_TRUE(unused.taken().empty());
    }
}

// A launcher of the user's own that keeps two hundred connections open, opening another as
// each is closed, costs a real launch at most the instance's deadline for one connection
// (ten seconds; it held launches 9 to 40 s): the launch hands its file over. Its bound is
// that deadline scaled by the machine's pace now.
TEST(ApplicationInstance, ALauncherKeepingManyConnectionsOpenCostsARealLaunchAtMostTheDeadlineOfOne) {
    InstanceScratch scratch;
    InstanceChild running("serve", scratch.dir.path());
    ASSERT_EQ(running.said().rfind("instance on ", 0), 0u) << running.said();
    const auto sockets = socketsIn(scratch.runtime);
    ASSERT_EQ(sockets.size(), 1u);
    InstanceChild holder("hold", scratch.dir.path(),
                         {{kSocketVariable, (scratch.runtime / sockets.front()).string()}, {kHoldVariable, "200"}});
    ASSERT_EQ(holder.said(), "holding 200");
    gwtest::Pace pace;
    Received unused;
    const auto started = std::chrono::steady_clock::now();
    const auto launch = pa::ApplicationInstance::claim(kId, {"/tmp/real.png"}, unused.handler());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(launch.handedOver) << launch.failure;
    EXPECT_LT(took, pace.bound(std::chrono::seconds(10)))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_EQ(running.recorded(), std::vector<std::string>{"/tmp/real.png"});
}

// The lock and the socket go only into a folder of the user's own that no one else may
// enter: the runtime folder when it is one, else a folder made in the temporary folder;
// when that one is not the user's own either, the launch runs on its own and says why.
TEST(ApplicationInstance, OnlyAFolderOfTheUsersOwnClosedToOthersHoldsTheLock) {
    const auto other = gwtest::otherUser();
    struct Case {
        const char* name;
        bool otherOwner;
        fs::perms mode;
        bool runtime;  // the runtime folder is the one set up so, else the temporary one
    };
    const Case cases[] = {
        {"a runtime folder others may enter", false, fs::perms::owner_all | fs::perms::others_exec, true},
        {"a runtime folder of another user", true, fs::perms::owner_all, true},
        {"a temporary folder others may enter", false, fs::perms::owner_all | fs::perms::group_all, false},
        {"a temporary folder of another user", true, fs::perms::owner_all, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && !other) {
            std::printf("%s not tried: no other user to give the folder to\n", c.name);
            continue;
        }
        InstanceScratch scratch;
        const auto ownFolder = scratch.temporary / (std::string(kId) + "-" + std::to_string(::getuid()));
        fs::path setUp = scratch.runtime;
        if (!c.runtime) {
            // The runtime folder is no good either, so the temporary one is what is left.
            fs::permissions(scratch.runtime, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
            fs::create_directories(ownFolder);
            setUp = ownFolder;
        }
        fs::permissions(setUp, c.mode, fs::perm_options::replace);
        if (c.otherOwner) {
            ASSERT_EQ(::chown(setUp.c_str(), other->first, other->second), 0);
        }
        Received taken;
        auto claim = pa::ApplicationInstance::claim(kId, {}, taken.handler());
        EXPECT_TRUE(socketsIn(setUp).empty());
        EXPECT_FALSE(fs::exists(setUp / (std::string(kId) + ".lock")));
        if (c.runtime) {
            ASSERT_TRUE(claim.instance) << claim.failure;
            EXPECT_EQ(claim.instance->description().rfind(ownFolder.string() + "/", 0), 0u)
                << claim.instance->description();
        } else {
            EXPECT_FALSE(claim.instance);
            EXPECT_FALSE(claim.handedOver);
            EXPECT_NE(claim.failure.find(ownFolder.string()), std::string::npos) << claim.failure;
        }
    }
}

// A bus in the runtime folder is the user's only when both the folder (the user's own,
// closed to others) and the socket (the user's) are: either alone does not make it so.
TEST(ApplicationInstance, ABusInTheRuntimeFolderIsUsedOnlyWhereFolderAndSocketAreTheUsersOwn) {
    const auto other = gwtest::otherUser();
    enum class Wrong { nothing, folderOpenToOthers, socketOfAnotherUser };
    const std::pair<Wrong, const char*> cases[] = {
        {Wrong::nothing, "the user's own"},
        {Wrong::folderOpenToOthers, "in a folder others may enter"},
        {Wrong::socketOfAnotherUser, "a socket of another user's"},
    };
    for (const auto& [wrong, name] : cases) {
        SCOPED_TRACE(name);
        if (wrong == Wrong::socketOfAnotherUser && !other) {
            std::printf("%s not tried: no other user to give the socket to\n", name);
            continue;
        }
        InstanceScratch scratch;
        // A runtime folder of a path the bus's address holds, as the system's is.
        std::optional<gwtest::TempDir> near;
        {
            const gwtest::ScopedEnv shortTemporary("TMPDIR", "/tmp");
            near.emplace();
        }
        const auto runtime = privateFolder(*near, "runtime");
        const gwtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.string());
        const gwtest::desktop::PrivateSessionBus bus({std::nullopt, false, runtime / "bus", false});
        if (wrong == Wrong::folderOpenToOthers) {
            fs::permissions(runtime, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
        }
        if (wrong == Wrong::socketOfAnotherUser) {
            ASSERT_EQ(::lchown((runtime / "bus").c_str(), other->first, other->second), 0);
        }
        Received taken;
        const auto claim = pa::ApplicationInstance::claim(kId, {}, taken.handler());
        ASSERT_TRUE(claim.instance) << claim.failure;
        EXPECT_EQ(claim.instance->description() == "the session bus", wrong == Wrong::nothing)
            << claim.instance->description();
    }
}

// Another local user (nobody) gets none of the user's files and is not heard: its bus in
// the runtime folder is not used, its calls on a bus both can reach are refused, its
// instance there is handed nothing, its requests through a socket opened to it are not
// taken, and a socket of its own named in the user's lock file is sent nothing.
TEST(ApplicationInstance, AnotherUsersBusCallsInstanceAndSocketsGetNothingAndAreNotHeard) {
    const auto other = gwtest::otherUser();
    if (!other) GTEST_SKIP() << "needs the superuser and the user nobody";
    enum class Kind { busInRuntimeFolder, callOnSharedBus, instanceOnSharedBus, requestThroughSocket, socketInLock };
    const std::pair<Kind, const char*> cases[] = {
        {Kind::busInRuntimeFolder, "another user's bus in the runtime folder"},
        {Kind::callOnSharedBus, "another user's call on a shared bus"},
        {Kind::instanceOnSharedBus, "another user's instance on a shared bus"},
        {Kind::requestThroughSocket, "another user's request through a socket opened to it"},
        {Kind::socketInLock, "another user's socket named in the lock file"},
    };
    // A bus of this user's that another user may reach too.
    const gwtest::desktop::PrivateSessionBus::Options shared{std::nullopt, true, {}, true};
    for (const auto& [kind, name] : cases) {
        SCOPED_TRACE(name);
        InstanceScratch scratch;
        // A folder the other user owns, inside one it may enter; the temporary folder is
        // one others may enter too, as /tmp is.
        fs::permissions(scratch.dir.path(), fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
        fs::permissions(scratch.temporary, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
        const auto theirs = scratch.dir / "theirs";
        fs::create_directories(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), other->first, other->second), 0);
        fs::permissions(theirs, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
        Received taken;
        std::unique_ptr<gwtest::desktop::PrivateSessionBus> bus;
        std::unique_ptr<InstanceChild> child;
        switch (kind) {
            case Kind::busInRuntimeFolder: {
                const auto runtime = theirs / "runtime";
                fs::create_directories(runtime);
                ASSERT_EQ(::chown(runtime.c_str(), other->first, other->second), 0);
                fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
                bus = std::make_unique<gwtest::desktop::PrivateSessionBus>(gwtest::desktop::PrivateSessionBus::Options{
                    other, true, runtime / "bus", false});
                const gwtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.string());
                auto claim = pa::ApplicationInstance::claim(kId, {"/tmp/mine.png"}, taken.handler());
                ASSERT_TRUE(claim.instance) << claim.failure;
                EXPECT_NE(claim.instance->description(), "the session bus");
                break;
            }
            case Kind::callOnSharedBus: {
                bus = std::make_unique<gwtest::desktop::PrivateSessionBus>(shared);
                auto claim = pa::ApplicationInstance::claim(kId, {}, taken.handler());
                ASSERT_TRUE(claim.instance) << claim.failure;
                ASSERT_EQ(claim.instance->description(), "the session bus");
                InstanceChild caller("call-open", theirs, {{"DBUS_SESSION_BUS_ADDRESS", bus->address()}}, other);
                EXPECT_EQ(caller.said(), "org.freedesktop.DBus.Error.AccessDenied");
                break;
            }
            case Kind::instanceOnSharedBus: {
                bus = std::make_unique<gwtest::desktop::PrivateSessionBus>(shared);
                child = std::make_unique<InstanceChild>("serve", theirs,
                                                        std::vector<std::pair<std::string, std::string>>{
                                                            {"DBUS_SESSION_BUS_ADDRESS", bus->address()}},
                                                        other);
                ASSERT_EQ(child->said(), "instance on the session bus");
                auto claim = pa::ApplicationInstance::claim(kId, {"/tmp/mine.png"}, taken.handler());
                ASSERT_TRUE(claim.instance) << claim.failure;
                EXPECT_NE(claim.instance->description(), "the session bus");
                EXPECT_TRUE(child->recorded().empty());
                break;
            }
            case Kind::requestThroughSocket: {
                auto claim = pa::ApplicationInstance::claim(kId, {}, taken.handler());
                ASSERT_TRUE(claim.instance) << claim.failure;
                const auto sockets = socketsIn(scratch.runtime);
                ASSERT_EQ(sockets.size(), 1u);
                // Opened up by mistake: the socket still checks who sends.
                fs::permissions(scratch.runtime, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
                ::chmod((scratch.runtime / sockets.front()).c_str(), 0777);
                InstanceChild sender("send", theirs, {{kSocketVariable, (scratch.runtime / sockets.front()).string()}},
                                     other);
                EXPECT_EQ(sender.said(), "no answer");
                break;
            }
            case Kind::socketInLock: {
                // An earlier version wrote the socket's whole path, which an address holds
                // only when it is short: theirs lies in a folder of a short path.
                std::optional<gwtest::TempDir> near;
                {
                    const gwtest::ScopedEnv shortTemporary("TMPDIR", "/tmp");
                    near.emplace();
                }
                ASSERT_EQ(::chown(near->path().c_str(), other->first, other->second), 0);
                fs::permissions(near->path(), fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
                const auto socket = *near / "s";
                InstanceChild listener("listen", theirs, {{kSocketVariable, socket.string()}}, other);
                ASSERT_EQ(listener.said(), "listening");
                // The lock held (as by a running instance), the lock file naming their socket.
                const auto lockPath = scratch.runtime / (std::string(kId) + ".lock");
                gwtest::writeFile(lockPath, socket.string());
                const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
                ASSERT_EQ(::flock(lock, LOCK_EX), 0);
                pa::ApplicationInstance::Options options;
                int tries = 0;
                options.givingUp = [&] { return ++tries > 3; };
                const auto claim = pa::ApplicationInstance::claim(kId, {"/tmp/mine.png"}, taken.handler(), options);
                ::close(lock);
                EXPECT_FALSE(claim.handedOver);
                EXPECT_TRUE(claim.gaveUp);
                // Reached, and sent nothing.
                EXPECT_TRUE(instanceWaitFor([&] { return !listener.recorded().empty(); }));
                for (const auto& line : listener.recorded()) {
                    EXPECT_EQ(line, "0");
                }
                break;
            }
        }
        EXPECT_TRUE(taken.taken().empty());
    }
}

}  // namespace
