#pragma once
// A session bus of the test's own: a `dbus-daemon` started for the test, listening in a
// scratch folder, with no service files (nothing is started on demand), pointed to by
// DBUS_SESSION_BUS_ADDRESS while the object lives. Stopped (by its pid) at the end.
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
    TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
    std::unique_ptr<ScopedEnv> env_;
};

}  // namespace gwtest::desktop
