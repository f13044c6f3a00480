#pragma once
// Stands in for the desktop's file manager on a (private) session bus: owns the name
// org.freedesktop.FileManager1, serves its three methods on its own thread and records
// every ShowItems call. Answers each call with success.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace gwtest::desktop {

struct ShowItemsCall {
    std::vector<std::string> uris;
    std::string startupId;
};

class FileManagerStandIn {
public:
    // Connects to the bus at `address` and owns the name before returning; throws when
    // it cannot (deadline generous).
    explicit FileManagerStandIn(const std::string& address);
    ~FileManagerStandIn();
    FileManagerStandIn(const FileManagerStandIn&) = delete;
    FileManagerStandIn& operator=(const FileManagerStandIn&) = delete;

    std::vector<ShowItemsCall> showItemsCalls() const;
    // Waits until at least `count` ShowItems calls arrived; false at the deadline.
    bool waitForShowItems(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace gwtest::desktop
