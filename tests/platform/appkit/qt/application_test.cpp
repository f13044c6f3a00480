// The application object: modal runs end by stopModal or by any way of closing the
// window, and the main queue keeps draining inside them.
#include "platform/appkit/application_state.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/view_appearance.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "support/gui/gui_harness.hpp"

#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace {

namespace qt = platform::appkit::qt;
using gwtest::gui::answerNextModal;

qt::Application& app() { return *qt::Application::shared(); }

// A window with Continue (stops with 1, the default button) and Cancel (stops with 0).
struct PromptLike {
    qt::Window window;
    QPushButton* ok;
    QPushButton* cancel;
    PromptLike() {
        auto* layout = new QVBoxLayout(&window);
        ok = new QPushButton("Continue", &window);
        cancel = new QPushButton("Cancel", &window);
        layout->addWidget(ok);
        layout->addWidget(cancel);
        window.setDefaultButton(ok);
        window.setCancelButton(cancel);
        QObject::connect(ok, &QPushButton::clicked, [] { app().stopModal(1); });
        QObject::connect(cancel, &QPushButton::clicked, [] { app().stopModal(0); });
    }
};

TEST(Application, EveryWayOfLeavingAModalWindowEndsItsLoopWithItsResponse) {
    const std::vector<std::pair<std::string, std::function<void(PromptLike&)>>> ways = {
        {"continue clicked", [](PromptLike& p) { QTest::mouseClick(p.ok, Qt::LeftButton); }},
        {"return", [](PromptLike& p) { QTest::keyClick(&p.window, Qt::Key_Return); }},
        {"cancel clicked", [](PromptLike& p) { QTest::mouseClick(p.cancel, Qt::LeftButton); }},
        {"escape", [](PromptLike& p) { QTest::keyClick(&p.window, Qt::Key_Escape); }},
        {"title-bar close", [](PromptLike& p) { p.window.close(); }},
        {"hidden by code", [](PromptLike& p) { p.window.hide(); }},
    };
    const std::map<std::string, int> expected = {{"continue clicked", 1}, {"return", 1}};
    PromptLike prompt;  // one window, reused as the prompts reuse theirs
    for (const auto& [name, leave] : ways) {
        SCOPED_TRACE(name);
        bool sawModal = false;
        auto answer = answerNextModal([&](QWidget& modal) {
            sawModal = &modal == &prompt.window;
            leave(prompt);
        });
        const int code = app().runModal(prompt.window);
        EXPECT_TRUE(answer->answered());
        EXPECT_TRUE(sawModal);
        EXPECT_EQ(code, expected.count(name) ? expected.at(name) : 0);
        EXPECT_FALSE(app().isRunningModal());
        prompt.window.orderOut();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST(Application, MainQueueWorkFromOtherThreadsRunsInsideAModalLoop) {
    qt::Window window;
    std::atomic<int> ranOnMain{0};
    std::thread worker;
    auto answer = answerNextModal([&](QWidget&) {
        worker = std::thread([&] {
            for (int i = 0; i < 50; ++i) {
                platform::dispatch::DispatchQueue::main().async([&] {
                    if (platform::dispatch::MainLoop::isMainThread()) ++ranOnMain;
                });
            }
            platform::dispatch::DispatchQueue::main().async([] { app().stopModal(7); });
        });
    });
    EXPECT_EQ(app().runModal(window), 7);
    worker.join();
    window.orderOut();
    EXPECT_EQ(ranOnMain.load(), 50);
}

TEST(Application, NestedModalLoopsEndInnermostFirst) {
    qt::Window outer, inner;
    std::vector<std::string> order;
    auto first = answerNextModal([&](QWidget&) {
        auto second = answerNextModal([&](QWidget& modal) {
            EXPECT_EQ(&modal, &inner);
            app().stopModal(2);
        });
        order.push_back("inner " + std::to_string(app().runModal(inner)));
        inner.orderOut();
        EXPECT_EQ(app().modalWindow(), &outer);
        app().stopModal(1);
    });
    order.push_back("outer " + std::to_string(app().runModal(outer)));
    outer.orderOut();
    EXPECT_EQ(order, (std::vector<std::string>{"inner 2", "outer 1"}));
    app().stopModal(5);  // none runs: nothing happens
}

class PreviewPanel final : public qt::Panel {};

TEST(ApplicationHooks, ShownWindowsAndQtActivationReachTheQtFreeHooks) {
    std::vector<std::string> appeared;
    const auto token = platform::appkit::ViewAppearance::addObserver(
        [&](const std::string& className, bool isContainer) {
            if (!isContainer) appeared.push_back(className);
        });
    PreviewPanel panel;
    panel.orderFront();
    QTest::qWait(0);
    platform::appkit::ViewAppearance::removeObserver(token);
    panel.orderOut();
    EXPECT_NE(std::find(appeared.begin(), appeared.end(), "(anonymous namespace)::PreviewPanel"), appeared.end());

    std::vector<std::string> notices;
    auto& center = platform::foundation::NotificationCenter::defaultCenter();
    int owner = 0;
    center.addObserver({}, nullptr, [&](const platform::foundation::Notification& n) { notices.push_back(n.name); },
                       &owner);
    platform::appkit::ApplicationState::shared().reset();
    emit app().qApplication().applicationStateChanged(Qt::ApplicationActive);
    emit app().qApplication().applicationStateChanged(Qt::ApplicationInactive);
    center.removeObserver(&owner);
    platform::appkit::ApplicationState::shared().reset();
    EXPECT_EQ(notices, (std::vector<std::string>{platform::appkit::kApplicationWillBecomeActiveNotification,
                                                 platform::appkit::kApplicationDidResignActiveNotification}));
}

}  // namespace
