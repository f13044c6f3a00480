// The window program's entry through the built executables: `glyphwright` without an
// option hands the process over to `glyphwright-desktop` beside it, which refuses
// plainly without a display, and ends in order on SIGTERM and SIGINT, saving its state
// (and saying why when that comes before its window appeared). A later launch hands its
// files to the running window, whatever the launch does and whatever its files are
// called, and the window loses none of them.
#include "support/desktop/private_session_bus.hpp"
#include "support/photo_like_png.hpp"
#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"
#include "support/unix_socket.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Child {
    pid_t pid = -1;
    fs::path errFile;
};

// How a child is started beyond its program and arguments.
struct StartOptions {
    // The session bus it finds; none: no bus at all.
    std::string busAddress;
    // Its file size limit (RLIMIT_FSIZE); none: as the test's.
    std::optional<rlim_t> fileSizeLimit;
    // Where its standard error goes, below the test's folder.
    std::string errName = "stderr.txt";
    // Its TMPDIR; none: unset.
    std::string temporaryFolder;
};

class DesktopEntry : public ::testing::Test {
protected:
    gwtest::TempDir dir_;

    std::vector<std::string> environment(const std::optional<std::string>& platform) const {
        std::vector<std::string> env;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const auto name = text.substr(0, text.find('='));
            // The test's own folders and no session bus of the machine's: another
            // program's window there would take what these launches hand over.
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || name == "HOME" ||
                name == "DBUS_SESSION_BUS_ADDRESS" || name == "TMPDIR" || name.rfind("XDG_", 0) == 0)
                continue;
            env.push_back(text);
        }
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "HOME"}) {
            const auto folder = dir_.path() / "xdg" / name;
            // Made the user's alone; a test may have set another mode since.
            if (fs::create_directories(folder)) fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
            env.push_back(std::string(name) + "=" + folder.string());
        }
        env.push_back(std::string("GW_RESOURCES_DIR=") + GW_SOURCE_DIR + "/resources");
        if (platform) env.push_back("QT_QPA_PLATFORM=" + *platform);
        return env;
    }

    Child start(const std::string& program, const std::optional<std::string>& platform,
                const std::vector<std::string>& arguments = {}, const StartOptions& options = {}) const {
        Child child;
        child.errFile = dir_.path() / options.errName;
        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        auto env = environment(platform);
        if (!options.busAddress.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + options.busAddress);
        if (!options.temporaryFolder.empty()) env.push_back("TMPDIR=" + options.temporaryFolder);
        std::vector<char*> envp;
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        if (options.fileSizeLimit) limit.rlim_cur = *options.fileSizeLimit;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        child.pid = ::fork();
        if (child.pid == 0) {
            const int err = ::open(child.errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = ::open("/dev/null", O_RDWR);
            if (err < 0 || null < 0) ::_exit(126);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        return child;
    }

    // The exit status; -1 when it ended otherwise (then the test fails).
    static int wait(const Child& child) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (::waitpid(child.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child.pid, SIGKILL);
                ::waitpid(child.pid, &status, 0);
                ADD_FAILURE() << "the window program did not end";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path runtimeFolder() const { return dir_.path() / "xdg" / "XDG_RUNTIME_DIR"; }
    fs::path savedState() const {
        return dir_.path() / "xdg" / "XDG_DATA_HOME" / "com.norvane.glyphwright" / "saved_glyphwright";
    }

    // The window program's sockets in the runtime folder.
    std::set<std::string> sockets() const {
        std::set<std::string> found;
        for (const auto& name : gwtest::namesIn(runtimeFolder())) {
            if (name.size() > 7 && name.substr(name.size() - 7) == ".socket") found.insert(name);
        }
        return found;
    }

    // Waits (generous deadline) for `condition`.
    static bool waitUntil(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return condition();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // A picture file of `side` pixels in the test's folder, under `name`.
    fs::path picture(const std::string& name, std::uint32_t side) const {
        const auto path = dir_.path() / "pictures" / name;
        fs::create_directories(path.parent_path());
        gwtest::writeFile(path, gwtest::photoLikePng(side, static_cast<std::uint32_t>(name.size())));
        return path;
    }

    // Whether the window program serves as the instance: its socket is there, or its
    // name has an owner on the bus at `busAddress`.
    bool serves(const std::string& busAddress) const {
        if (busAddress.empty()) return !sockets().empty();
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            busAddress.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!bus) return false;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "NameHasOwner",
                                                      g_variant_new("(s)", "com.norvane.glyphwright"),
                                                      G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 30'000, nullptr,
                                                      nullptr);
        gboolean owned = FALSE;
        if (reply) {
            g_variant_get(reply, "(b)", &owned);
            g_variant_unref(reply);
        }
        g_object_unref(bus);
        return owned;
    }

    // Ends `child` (continued first, should it be stopped) with SIGTERM; answers its exit code.
    static int terminate(const Child& child) {
        ::kill(child.pid, SIGCONT);
        ::kill(child.pid, SIGTERM);
        return wait(child);
    }

    // The state a window given `picture` at its start saves at its end.
    std::string stateSavedWith(const fs::path& picture) const {
        const auto window = start(GW_DESKTOP_PATH, "offscreen", {picture.string()}, {{}, {}, "saving.txt"});
        EXPECT_TRUE(waitUntil([&] { return serves({}); }));
        EXPECT_EQ(terminate(window), 0) << read(window.errFile);
        return read(savedState());
    }

    // How often `text` holds `part`.
    static int countOf(const std::string& text, const std::string& part) {
        int count = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
        return count;
    }

    // Whether the process runs the window program and catches `signal` (its handlers are
    // installed first thing, so from then on the signal ends it in order).
    static bool catches(pid_t pid, int signal) {
        std::error_code error;
        const auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (error || exe.filename() != "glyphwright-desktop") return false;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0) {
                const auto mask = std::stoull(line.substr(7), nullptr, 16);
                return (mask >> (signal - 1)) & 1;
            }
        }
        return false;
    }
};

TEST_F(DesktopEntry, WithoutADisplayOrTheWindowProgramItRefusesWithOneMessageAndStatusTwo) {
    // A copy of the command without the window program beside it.
    const auto lone = dir_.path() / "lone" / "glyphwright";
    fs::create_directories(lone.parent_path());
    fs::copy_file(GW_GLYPHWRIGHT_PATH, lone);
    struct Case {
        const char* name;
        std::string program;
        std::optional<std::string> platform;
        const char* message;
        // The command hands over only a start without arguments; the window program
        // itself takes the files a file manager gives it.
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"no display", GW_GLYPHWRIGHT_PATH, std::nullopt, "there is no display to open the window on", {}},
        {"no display, window program started directly", GW_DESKTOP_PATH, std::nullopt,
         "there is no display to open the window on", {"picture.png"}},
        {"window program missing", lone.string(), "offscreen", "glyphwright-desktop is missing", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto child = start(c.program, c.platform, c.arguments);
        EXPECT_EQ(wait(child), 2);
        const auto err = read(child.errFile);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("qt.qpa"), std::string::npos) << err;
    }
}

// A signal while the window program starts ends it in order before its window shows: it
// says why, and saves its state (no pictures yet). A signal to a launch still waiting for
// a running window (stopped here) ends it having read nothing: the state on disk stays the
// running window's, whole, and the file the launch was given is named, not lost unsaid.
TEST_F(DesktopEntry, TerminationSignalsEndTheWindowProgramInOrderAndItsStateIsSavedOrLeftWhole) {
    const auto saved = savedState();
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        fs::remove(saved);
        const auto child = start(GW_GLYPHWRIGHT_PATH, "offscreen");
        EXPECT_TRUE(waitUntil([&] { return catches(child.pid, signal); }));
        ::kill(child.pid, signal);
        EXPECT_EQ(wait(child), 0) << read(child.errFile);
        // It came before the window could appear: the program says so, and why.
        const std::string why = std::string("ended before its window appeared: it was asked to end (") +
                                (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")";
        EXPECT_NE(read(child.errFile).find(why), std::string::npos) << read(child.errFile);
        ASSERT_TRUE(fs::exists(saved));
        const auto state = read(saved);
        EXPECT_NE(state.find("\"imageInputs\":[]"), std::string::npos) << state;
    }

    const auto kept = picture("Kept.png", 24), waiting = picture("Waiting.png", 24);
    const auto before = stateSavedWith(kept);
    ASSERT_EQ(countOf(before, "\"imageName\":\"Kept\""), 1) << before;
    const auto window = start(GW_DESKTOP_PATH, "offscreen", {}, {{}, {}, "window.txt"});
    ASSERT_TRUE(waitUntil([&] { return serves({}); }));
    ASSERT_TRUE(gwtest::stopWholly(window.pid));
    const auto launch = start(GW_DESKTOP_PATH, "offscreen", {waiting.string()}, {{}, {}, "launch.txt"});
    EXPECT_TRUE(waitUntil([&] { return read(launch.errFile).find("does not answer") != std::string::npos; }))
        << read(launch.errFile);
    ::kill(launch.pid, SIGTERM);
    EXPECT_EQ(wait(launch), 1) << read(launch.errFile);
    const auto told = read(launch.errFile);
    EXPECT_NE(told.find("it was asked to end (SIGTERM)"), std::string::npos) << told;
    EXPECT_NE(told.find("Not opened: " + waiting.string()), std::string::npos) << told;
    EXPECT_EQ(read(saved), before);
    EXPECT_EQ(terminate(window), 0) << read(window.errFile);
    EXPECT_EQ(countOf(read(saved), "\"imageName\":"), 1) << read(saved);
}

// A later launch hands its files to the running window, on the session bus or through
// the socket: a missing one first costs the others nothing, "--" ends the options, a name
// that is no UTF-8 is taken as its bytes; a launch that goes before its answer costs the
// window nothing; one that meets the window stopped waits, says why, and its request,
// asked again, is taken once. The window's end saves every picture handed over, once.
TEST_F(DesktopEntry, LaterLaunchesHandEveryFileOverOnceWhateverItIsCalledAndHoweverTheLaunchGoes) {
    const auto a = picture("Alpha.png", 24), c = picture("Charlie.png", 24), d = picture("Delta.png", 24);
    const auto notText = picture("Gr\xe9" "en.png", 24);
    const auto missing = dir_.path() / "pictures" / "Aaa-not-there.png";
    for (const bool onBus : {true, false}) {
        SCOPED_TRACE(onBus ? "on the session bus" : "through the socket");
        fs::remove(savedState());
        std::optional<gwtest::desktop::PrivateSessionBus> bus;
        if (onBus) bus.emplace(gwtest::desktop::PrivateSessionBus::Options{std::nullopt, false, {}, false});
        const std::string address = bus ? bus->address() : std::string();
        const std::string row = onBus ? "bus-" : "socket-";
        const auto window = start(GW_DESKTOP_PATH, "offscreen", {}, {address, {}, row + "window.txt"});
        ASSERT_TRUE(waitUntil([&] { return serves(address); })) << read(window.errFile);

        std::vector<std::string> given = {"--", missing.string(), a.string(), notText.string()};
        if (onBus) given.push_back(d.string());
        const auto first = start(GW_DESKTOP_PATH, "offscreen", given, {address, {}, row + "first.txt"});
        EXPECT_EQ(wait(first), 0) << read(first.errFile);
        if (!onBus) {
            // A launch that sends its request and goes at once.
            const int fd = gwtest::connectToSocket(runtimeFolder() / *sockets().begin());
            ASSERT_GE(fd, 0) << std::strerror(errno);
            std::string request("open-once\0a-launch-that-left\0", 29);
            request.append(d.c_str(), d.string().size() + 1);
            request.push_back('\0');
            EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
            ::close(fd);
        }
        ASSERT_TRUE(gwtest::stopWholly(window.pid));
        const auto second = start(GW_DESKTOP_PATH, "offscreen", {c.string()}, {address, {}, row + "second.txt"});
        EXPECT_TRUE(waitUntil([&] {
            const auto told = read(second.errFile);
            return told.find("waiting for the running Glyphwright window") != std::string::npos &&
                   told.find("does not answer") != std::string::npos;
        })) << read(second.errFile);
        ::kill(window.pid, SIGCONT);
        EXPECT_EQ(wait(second), 0) << read(second.errFile);
        EXPECT_EQ(terminate(window), 0) << read(window.errFile);
        // The window's socket goes with it.
        EXPECT_TRUE(sockets().empty());
        const auto state = read(savedState());
        for (const char* name : {"Alpha", "Charlie", "Delta"}) {
            EXPECT_EQ(countOf(state, std::string("\"imageName\":\"") + name + "\""), 1) << name;
        }
        EXPECT_EQ(countOf(state, "\"imageName\":\"Gr"), 1);
        EXPECT_EQ(countOf(state, "\"imageName\":"), 4);
    }
}

// Where no folder of the user's own can hold the lock (the runtime folder open to others,
// the one in the temporary folder another's), the window runs on its own and says why.
TEST_F(DesktopEntry, WhereNoFolderOfTheUsersOwnCanHoldTheLockTheWindowSaysWhyAndRunsOnItsOwn) {
    const auto temporary = dir_.path() / "tmp";
    const auto taken = temporary / ("com.norvane.glyphwright-" + std::to_string(::getuid()));
    fs::create_directories(taken);
    fs::permissions(taken, fs::perms::owner_all | fs::perms::group_all, fs::perm_options::replace);
    fs::create_directories(runtimeFolder());
    fs::permissions(runtimeFolder(), fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
    StartOptions options;
    options.temporaryFolder = temporary.string();
    const auto window = start(GW_DESKTOP_PATH, "offscreen", {}, options);
    EXPECT_TRUE(waitUntil([&] { return read(window.errFile).find("opens a window of its own") != std::string::npos; }))
        << read(window.errFile);
    EXPECT_NE(read(window.errFile).find(taken.string()), std::string::npos) << read(window.errFile);
    EXPECT_EQ(terminate(window), 0) << read(window.errFile);
    EXPECT_TRUE(gwtest::namesIn(taken).empty());
}

// A state too large for the file size limit is a failed save like any other: the window
// ends in order, names the pictures it could not save, and the earlier state stays whole
// with nothing beside it.
TEST_F(DesktopEntry, AStatePastTheFileSizeLimitIsAFailedSaveThatKeepsTheEarlierStateAndNamesThePictures) {
    const auto small = picture("Small.png", 16), large = picture("Large.png", 256);
    const auto before = stateSavedWith(small);
    ASSERT_EQ(countOf(before, "\"imageName\":\"Small\""), 1);

    const auto limited = start(GW_DESKTOP_PATH, "offscreen", {large.string()}, {{}, before.size() + 4096, "limited.txt"});
    ASSERT_TRUE(waitUntil([&] { return serves({}); }));
    EXPECT_EQ(terminate(limited), 0) << read(limited.errFile);
    const auto told = read(limited.errFile);
    EXPECT_NE(told.find("The pictures could not be saved at the end"), std::string::npos) << told;
    EXPECT_NE(told.find("“Large”"), std::string::npos) << told;
    EXPECT_EQ(read(savedState()), before);
    for (const auto& name : gwtest::namesIn(savedState().parent_path())) {
        EXPECT_TRUE(name == "saved_glyphwright" || name.find("saved_glyphwright") == std::string::npos) << name;
    }
}

}  // namespace
