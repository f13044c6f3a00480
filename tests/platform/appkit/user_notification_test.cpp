// Notifications travel to the notification server on a private session bus, keep their
// user info in this process, and a click comes back to the delegate on the main queue.
#include "platform/appkit/user_notification.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/log/system_log.hpp"
#include "support/desktop/notification_server_stand_in.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

namespace appkit = platform::appkit;
namespace pf = platform::foundation;
namespace pg = platform::graphics;
namespace desktop = gwtest::desktop;
using platform::dispatch::MainLoop;

struct RecordingDelegate : appkit::UserNotificationCenterDelegate {
    std::vector<appkit::UserNotification> activated;
    bool onMainThread = true;
    void userNotificationCenterDidActivate(const appkit::UserNotification& notification) override {
        onMainThread = onMainThread && MainLoop::isMainThread();
        activated.push_back(notification);
    }
};

// Two pixels: opaque red, and green at half cover (stored premultiplied).
pg::ImagePtr twoPixels() {
    const std::uint32_t words[2] = {0xFFFF0000u, 0x80008000u};
    std::vector<std::uint8_t> bytes(sizeof words);
    std::memcpy(bytes.data(), words, sizeof words);
    return pg::Image::withBitmap(std::make_shared<pg::Bitmap>(2, 1, 8, std::move(bytes), true));
}

class UserNotificationTest : public ::testing::Test {
protected:
    void TearDown() override { appkit::UserNotificationCenter::defaultCenter().reset(); }
};

TEST_F(UserNotificationTest, DeliveredFieldsReachTheServerAndAClickReachesTheDelegateOnTheMainQueue) {
    desktop::PrivateSessionBus bus;
    desktop::NotificationServerStandIn server(bus.address());
    auto& center = appkit::UserNotificationCenter::defaultCenter();
    auto delegate = std::make_shared<RecordingDelegate>();
    center.setDelegate(delegate);

    appkit::UserNotification notification;
    notification.title = "Catalog Created";
    notification.subtitle = "iOS App Icon";
    notification.contentImage = twoPixels();
    notification.soundName = appkit::UserNotification::defaultSoundName;
    notification.hasActionButton = true;
    notification.actionButtonTitle = "Show";
    notification.userInfo = {{"output_path", pf::Value(std::string("file:///tmp/Assets.xcassets/"))}};
    ASSERT_TRUE(center.deliver(notification));
    appkit::UserNotification silent;
    silent.title = "Second";
    ASSERT_TRUE(center.deliver(silent));

    ASSERT_TRUE(server.waitForNotify(2));
    const auto calls = server.notifyCalls();
    EXPECT_EQ(calls[0].summary, "Catalog Created");
    EXPECT_EQ(calls[0].body, "iOS App Icon");
    EXPECT_EQ(calls[0].soundName, "message-new-instant");
    EXPECT_EQ(calls[0].actions, (std::vector<std::string>{"default", "Show", "action-button", "Show"}));
    EXPECT_EQ(calls[0].imageWidth, 2);
    EXPECT_EQ(calls[0].imageHeight, 1);
    EXPECT_EQ(calls[0].imageBytes, (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 255, 0, 128}));
    // Nothing asked for, nothing sent: no image, no sound, no button.
    EXPECT_TRUE(calls[1].hintKeys.empty());
    EXPECT_EQ(calls[1].actions, (std::vector<std::string>{"default", "Second"}));
    ASSERT_EQ(center.deliveredNotifications().size(), 2u);

    // A closed notification is forgotten; a click on another program's id is ignored.
    server.close(calls[1].id);
    server.invokeAction(999, "default");
    server.invokeAction(calls[0].id, "action-button");
    ASSERT_TRUE(MainLoop::runUntil([&] { return !delegate->activated.empty(); }, std::chrono::seconds(60)));
    MainLoop::drain();
    ASSERT_EQ(delegate->activated.size(), 1u);
    EXPECT_TRUE(delegate->onMainThread);
    EXPECT_EQ(delegate->activated[0].identifier, calls[0].id);
    EXPECT_EQ(*delegate->activated[0].userInfo.at("output_path").asString(), "file:///tmp/Assets.xcassets/");
    ASSERT_TRUE(MainLoop::runUntil([&] { return center.deliveredNotifications().size() == 1; },
                                   std::chrono::seconds(60)));
    EXPECT_EQ(center.deliveredNotifications()[0].title, "Catalog Created");
}

TEST_F(UserNotificationTest, InTheBackgroundNotificationsKeepTheirOrderAndALargePictureArrivesAsAnIcon) {
    desktop::PrivateSessionBus bus;
    desktop::NotificationServerStandIn server(bus.address());
    auto& center = appkit::UserNotificationCenter::defaultCenter();
    // A 3000 x 1500 picture of one colour, then a notification without one.
    const int width = 3000, height = 1500;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const std::uint32_t word = 0xFF2060A0u;
        std::memcpy(&pixels[i], &word, 4);
    }
    appkit::UserNotification large;
    large.title = "First";
    large.contentImage =
        pg::Image::withBitmap(std::make_shared<pg::Bitmap>(width, height, width * 4, std::move(pixels), false));
    appkit::UserNotification next;
    next.title = "Second";
    center.deliverInBackground(large);
    center.deliverInBackground(next);
    center.waitUntilDelivered();

    ASSERT_TRUE(server.waitForNotify(2));
    const auto calls = server.notifyCalls();
    EXPECT_EQ(calls[0].summary, "First");
    EXPECT_EQ(calls[1].summary, "Second");
    EXPECT_EQ(calls[0].imageWidth, appkit::kNotificationImageSide);
    EXPECT_EQ(calls[0].imageHeight, appkit::kNotificationImageSide / 2);
    ASSERT_EQ(calls[0].imageBytes.size(), std::size_t{appkit::kNotificationImageSide} * 128 * 4);
    EXPECT_EQ(std::vector<std::uint8_t>(calls[0].imageBytes.begin(), calls[0].imageBytes.begin() + 4),
              (std::vector<std::uint8_t>{0x20, 0x60, 0xA0, 0xFF}));
}

// A centre that goes while notifications wait for their turn (the process's own goes as the
// process ends, a quit right after a conversion): the one on its way arrives, what still
// waits is dropped, each told in the log, and nothing touches what the centre held.
TEST_F(UserNotificationTest, NotificationsStillWaitingWhenTheirCentreGoesAreDropped) {
    desktop::PrivateSessionBus bus;
    desktop::NotificationServerStandIn server(bus.address());
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t dropped = 0;
    bool drawing = false, centreGone = false;
    const platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& record) {
        std::lock_guard lock(mutex);
        if (record.message.rfind("Notification dropped", 0) == 0) ++dropped;
        changed.notify_all();
    });
    // The first one's picture is drawn as it is sent: it holds the queue until the centre is gone.
    appkit::UserNotification first;
    first.title = "On its way";
    first.contentImage = pg::Image::withSize({64, 64}, false, [&](pg::Rect) {
        std::unique_lock lock(mutex);
        drawing = true;
        changed.notify_all();
        changed.wait(lock, [&] { return centreGone; });
        return true;
    });
    constexpr std::size_t kWaiting = 20;
    auto center = std::make_unique<appkit::UserNotificationCenter>();
    center->deliverInBackground(first);
    for (std::size_t i = 0; i < kWaiting; ++i) {
        appkit::UserNotification waiting;
        waiting.title = "Waiting " + std::to_string(i);
        center->deliverInBackground(waiting);
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return drawing; }));
    }
    center.reset();
    {
        std::unique_lock lock(mutex);
        centreGone = true;
        changed.notify_all();
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return dropped == kWaiting; })) << dropped;
    }
    ASSERT_TRUE(server.waitForNotify(1));
    const auto calls = server.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].summary, "On its way");
}

TEST_F(UserNotificationTest, WithoutAServerOrABusTheNotificationIsDropped) {
    auto& center = appkit::UserNotificationCenter::defaultCenter();
    appkit::UserNotification notification;
    notification.title = "Nobody listens";
    {
        desktop::PrivateSessionBus bus;  // a bus, but no notification server on it
        EXPECT_FALSE(center.deliver(notification));
        center.reset();
    }
    gwtest::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_FALSE(center.deliver(notification));
    EXPECT_TRUE(center.deliveredNotifications().empty());
}

}  // namespace
