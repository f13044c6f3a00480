#include "support/desktop/private_session_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace gwtest::desktop {

std::filesystem::path PrivateSessionBus::reachable(const std::filesystem::path& folder, const std::string& name) {
    if ((folder / name).string().size() < sizeof(sockaddr_un::sun_path)) return folder;
    if (links_.folder.empty()) {
        // Others may pass through it (a daemon of another user's), not list it.
        char made[] = "/tmp/gw-bus-XXXXXX";
        if (!::mkdtemp(made) || ::chmod(made, 0711) != 0) throw std::runtime_error("no folder for the bus's links");
        links_.folder = made;
    }
    const auto link =
        links_.folder / std::to_string(std::distance(std::filesystem::directory_iterator(links_.folder), {}));
    std::filesystem::create_directory_symlink(folder, link);
    return link;
}

PrivateSessionBus::PrivateSessionBus(const Options& options) {
    const auto socketDir = dir_ / "socket";
    std::filesystem::create_directories(socketDir);
    if (options.user) {
        // Its configuration readable by the user it runs as, its scratch folder that user's.
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec |
                                                      std::filesystem::perms::others_read);
        if (::chown(socketDir.c_str(), options.user->first, options.user->second) != 0) {
            throw std::runtime_error("the bus's folder could not be given to its user");
        }
    }
    // The daemon names its socket "dbus-" and ten characters.
    const std::string listen =
        options.socket.empty()
            ? "unix:dir=" + reachable(socketDir, "dbus-0123456789").string()
            : "unix:path=" + (reachable(options.socket.parent_path(), options.socket.filename()) / options.socket.filename()).string();
    const std::string everyUser = options.everyUser ? "    <allow user=\"*\"/>\n" : "";
    // A session bus that lets every client talk to every other and own any name, and
    // knows no service files: a name nobody owns stays unowned. Its limits are a
    // desktop's session bus's (Debian's session.conf): a message of hundreds of
    // megabytes goes through, as it would for a user.
    writeFile(dir_ / "session.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <keep_umask/>\n"
              "  <listen>" + listen + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n" + everyUser +
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "  <limit name=\"max_incoming_bytes\">1000000000</limit>\n"
              "  <limit name=\"max_outgoing_bytes\">1000000000</limit>\n"
              "  <limit name=\"max_message_size\">1000000000</limit>\n"
              "</busconfig>\n");

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 3);
    std::vector<std::string> args{"dbus-daemon", "--config-file=" + (dir_ / "session.conf").string(), "--nofork",
                                  "--nosyslog", "--print-address=3"};
    if (options.user) {
        args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(options.user->first),
                                   "--regid=" + std::to_string(options.user->second), "--clear-groups"});
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int started = ::posix_spawnp(&pid_, args.front().c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (started != 0) {
        ::close(pipeEnds[0]);
        pid_ = -1;
        throw std::runtime_error("dbus-daemon could not be started (is the dbus-daemon package installed?)");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string text;
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pipeEnds[0], POLLIN, 0};
        if (::poll(&ready, 1, 200) <= 0) continue;
        char buffer[512];
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR) break;
    }
    ::close(pipeEnds[0]);
    const auto end = text.find('\n');
    if (end == std::string::npos) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("dbus-daemon gave no address");
    }
    address_ = text.substr(0, end);
    // Any local user may reach a socket of a bus shared between users.
    if (options.everyUser && !options.socket.empty()) ::chmod(options.socket.c_str(), 0777);
    if (options.everyUser && options.socket.empty()) {
        std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
        ::chmod(socketDir.c_str(), 0711);
        for (const auto& entry : std::filesystem::directory_iterator(socketDir)) ::chmod(entry.path().c_str(), 0777);
    }
    if (options.setsAddress) env_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", address_);
}

PrivateSessionBus::~PrivateSessionBus() {
    env_.reset();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

PrivateSessionBus::Links::~Links() {
    std::error_code error;
    if (!folder.empty()) std::filesystem::remove_all(folder, error);
}

}  // namespace gwtest::desktop
