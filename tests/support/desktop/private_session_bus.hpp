#pragma once
// A session bus of the test's own: a `dbus-daemon` started for the test, listening in a
// scratch folder, with no service files (nothing is started on demand), pointed to by
// DBUS_SESSION_BUS_ADDRESS while the object lives. Stopped (by its pid) at the end.
#include "support/temp_dir.hpp"

#include <sys/types.h>

#include <memory>
#include <string>

namespace gwtest::desktop {

class PrivateSessionBus {
public:
    // Starts the daemon and waits (generous deadline) for its address; throws when it
    // does not come up.
    PrivateSessionBus();
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
