#pragma once
// User notifications through the desktop's notification server
// (org.freedesktop.Notifications on the session bus). The user info of each delivered
// notification stays in this process, keyed by the server's id, because the server
// carries only texts; a click on the action button comes back as ActionInvoked and
// reaches the delegate on the main queue with the notification as delivered.
#include "platform/foundation/value.hpp"
#include "platform/graphics/image.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit {

struct UserNotification {
    std::string title;     // the summary
    std::string subtitle;  // the body
    graphics::ImagePtr contentImage;  // sent as "image-data"
    std::string soundName;  // "sound-name"; empty: silent
    bool hasActionButton = false;
    std::string actionButtonTitle;
    foundation::Dictionary userInfo;
    // The server's id once delivered; 0 before.
    std::uint32_t identifier = 0;

    static constexpr const char* defaultSoundName = "message-new-instant";
};

class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;
    virtual void userNotificationCenterDidActivate(const UserNotification& notification) = 0;
};

// The image as the server's "image-data" tuple (iiibiiay): unpremultiplied RGBA rows,
// at most kNotificationImageSide pixels a side (a larger picture is scaled down, its
// shape kept: servers show a small icon, and a photograph's pixels would take seconds
// to convert and to send).
constexpr int kNotificationImageSide = 256;
struct NotificationImageData {
    int width = 0;
    int height = 0;
    int rowStride = 0;
    bool hasAlpha = true;
    std::vector<std::uint8_t> rgba;
};
std::optional<NotificationImageData> notificationImageData(const graphics::Image& image);

class UserNotificationCenter {
public:
    static UserNotificationCenter& defaultCenter();

    // Weakly held; activations arriving while none is set (or it is gone) are dropped.
    void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate);
    // Sends the notification; false (logged) when no server answers: it is dropped.
    bool deliver(UserNotification notification);
    // The same, on a queue of the centre's own, in the order asked: the caller (the main
    // thread) waits neither for the picture to be scaled nor for the server to answer.
    void deliverInBackground(UserNotification notification);
    // Blocks until what was handed to deliverInBackground so far has been sent.
    void waitUntilDelivered();
    // The notifications delivered and not yet closed by the server.
    std::vector<UserNotification> deliveredNotifications() const;
    // Forgets the connection, the delivered notifications and the delegate (a new bus is
    // looked up at the next delivery).
    void reset();

    UserNotificationCenter();
    ~UserNotificationCenter();
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform::appkit
