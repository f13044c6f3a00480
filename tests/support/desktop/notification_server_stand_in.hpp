#pragma once
// Stands in for the desktop's notification server on a (private) session bus: owns the
// name org.freedesktop.Notifications, records every Notify call, answers with ids from 1
// on, and emits ActionInvoked / NotificationClosed when the test says so.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gwtest::desktop {

struct NotifyCall {
    std::uint32_t id = 0;
    std::string appName;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;  // key, label, key, label, ...
    std::vector<std::string> hintKeys;
    std::string soundName;
    int imageWidth = 0;
    int imageHeight = 0;
    std::vector<std::uint8_t> imageBytes;
};

class NotificationServerStandIn {
public:
    explicit NotificationServerStandIn(const std::string& address);
    ~NotificationServerStandIn();
    NotificationServerStandIn(const NotificationServerStandIn&) = delete;
    NotificationServerStandIn& operator=(const NotificationServerStandIn&) = delete;

    std::vector<NotifyCall> notifyCalls() const;
    bool waitForNotify(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    // Emits the signal as a server does when the user clicks an action.
    void invokeAction(std::uint32_t id, const std::string& actionKey);
    void close(std::uint32_t id);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace gwtest::desktop
