#pragma once
// A session bus of the test's own: a `dbus-daemon` started for the test, listening in a
// scratch folder, with no service files (nothing is started on demand), pointed to by
// DBUS_SESSION_BUS_ADDRESS while the object lives. Stopped (by its pid) at the end. A
// socket's address holds about a hundred bytes: where the scratch folder (or the socket
// asked for) lies deeper than that, the daemon and its clients reach it through a link of a
// short path in /tmp, made for the bus and removed with it.
#include "support/temp_dir.hpp"

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace gwtest::desktop {

class PrivateSessionBus {
public:
    struct Options {
        // The user and group the daemon runs as (another user's bus); the test's own when none.
        std::optional<std::pair<uid_t, gid_t>> user;
        // Lets any local user connect, as a bus shared between users would.
        bool everyUser = false;
        // Where it listens; a socket of its own choosing in a scratch folder when empty.
        std::filesystem::path socket;
        // Whether DBUS_SESSION_BUS_ADDRESS points to it while it lives.
        bool setsAddress = true;
    };

    // Starts the daemon and waits (generous deadline) for its address; throws when it
    // does not come up.
    PrivateSessionBus() : PrivateSessionBus(Options{}) {}
    explicit PrivateSessionBus(const Options& options);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }

private:
    // `folder`, or a short link to it when a socket named `name` in it would not fit in an
    // address.
    std::filesystem::path reachable(const std::filesystem::path& folder, const std::string& name);

    TempDir dir_;
    // The folder of the short links, removed with the object (or a start that failed).
    struct Links {
        std::filesystem::path folder;
        ~Links();
    } links_;
    pid_t pid_ = -1;
    std::string address_;
    std::unique_ptr<ScopedEnv> env_;
};

}  // namespace gwtest::desktop
