// A click on a finished conversion's notification reveals its output folder in the file
// manager on the (private) session bus; user info without a usable "output_path" does
// nothing.
#include "app/ui/app_delegate.hpp"

#include "platform/appkit/user_notification.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/url.hpp"
#include "support/desktop/file_manager_stand_in.hpp"
#include "support/desktop/notification_server_stand_in.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace pf = platform::foundation;
namespace desktop = gwtest::desktop;

TEST(NotificationClick, TheOutputPathIsShownInTheFileManagerAndAnythingElseIsIgnored) {
    gw::AppDelegate::runningUnderTests = true;
    gwtest::TempDir dir;
    const auto output = dir.path() / "Assets.xcassets";
    std::filesystem::create_directories(output);
    desktop::PrivateSessionBus bus;
    desktop::FileManagerStandIn fileManager(bus.address());
    auto delegate = gw::AppDelegate::make();

    const std::vector<pf::Dictionary> ignored = {
        {},
        {{"output_path", pf::Value(std::int64_t{42})}},
        {{"other", pf::Value(pf::URL::fileURL(output).absoluteString())}},
    };
    for (const auto& userInfo : ignored) delegate->notificationActivated(userInfo);

    const auto url = pf::URL::fileURL(output, true).absoluteString();
    delegate->notificationActivated({{"output_path", pf::Value(url)}});
    ASSERT_TRUE(fileManager.waitForShowItems(1));
    const auto calls = fileManager.showItemsCalls();
    // Only the usable one arrived: the ignored ones went nowhere.
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].uris, std::vector<std::string>{url});
}

// The whole way: delivered to the notification server, clicked there, ActionInvoked back
// over the bus, the delegate on the main queue, ShowItems at the file manager.
TEST(NotificationClick, AClickAtTheServerRevealsOnlyAUsableOutputPath) {
    namespace appkit = platform::appkit;
    gw::AppDelegate::runningUnderTests = true;
    gwtest::TempDir dir;
    const auto output = dir.path() / "Icons.xcassets";
    std::filesystem::create_directories(output);
    desktop::PrivateSessionBus bus;
    desktop::FileManagerStandIn fileManager(bus.address());
    desktop::NotificationServerStandIn server(bus.address());
    auto delegate = gw::AppDelegate::make();
    auto& center = appkit::UserNotificationCenter::defaultCenter();
    center.setDelegate(delegate);

    const auto url = pf::URL::fileURL(output, true).absoluteString();
    const std::vector<pf::Dictionary> userInfos = {
        {},
        {{"output_path", pf::Value(std::int64_t{42})}},
        {{"output_path", pf::Value(url)}},
    };
    for (const auto& userInfo : userInfos) {
        appkit::UserNotification notification;
        notification.title = "Catalog Created";
        notification.hasActionButton = true;
        notification.actionButtonTitle = "Show in Files";
        notification.userInfo = userInfo;
        ASSERT_TRUE(center.deliver(notification));
    }
    ASSERT_TRUE(server.waitForNotify(userInfos.size()));
    for (const auto& call : server.notifyCalls()) server.invokeAction(call.id, "action-button");

    ASSERT_TRUE(platform::dispatch::MainLoop::runUntil([&] { return !fileManager.showItemsCalls().empty(); },
                                                       std::chrono::seconds(60)));
    const auto calls = fileManager.showItemsCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].uris, std::vector<std::string>{url});
    center.reset();
}

}  // namespace
