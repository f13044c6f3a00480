// The life cycle around the real event loop: the order the delegate hears things in,
// quits that are cancelled or go through (by the quit command or the main window's
// close), termination signals, and an exit that does not terminate.
#include "platform/appkit/qt/life_cycle.hpp"
#include "platform/appkit/qt/window.hpp"

#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace qt = platform::appkit::qt;

struct RecordingDelegate : qt::ApplicationDelegate {
    std::vector<std::string> events;
    std::vector<qt::TerminateReply> replies;  // consumed in order; then "now"
    std::function<void()> onDidFinish;
    QWidget* window = nullptr;

    void applicationWillFinishLaunching() override {
        events.push_back(window && window->isVisible() ? "will-finish(shown)" : "will-finish");
    }
    void applicationDidFinishLaunching() override {
        events.push_back(window && window->isVisible() ? "did-finish(shown)" : "did-finish");
        if (onDidFinish) onDidFinish();
    }
    qt::TerminateReply applicationShouldTerminate() override {
        events.push_back("should-terminate");
        if (replies.empty()) return qt::TerminateReply::terminateNow;
        const auto reply = replies.front();
        replies.erase(replies.begin());
        return reply;
    }
    // The windows have gone by now: only a window still shown is said.
    void applicationWillTerminate() override {
        events.push_back(window && window->isVisible() ? "will-terminate(shown)" : "will-terminate");
    }
    void openFiles(const std::vector<std::string>& paths) override {
        for (const auto& path : paths) events.push_back("open " + path);
    }
};

struct Quitting {
    const char* name;
    std::function<void(qt::LifeCycle&, qt::Window&)> quit;
};

TEST(LifeCycle, QuitByCommandOrCloseAsksAndACancelKeepsTheWindow) {
    const std::vector<Quitting> ways = {
        {"quit command", [](qt::LifeCycle& cycle, qt::Window&) { cycle.terminate(); }},
        {"main window closed", [](qt::LifeCycle&, qt::Window& window) { window.close(); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        qt::Window window;
        RecordingDelegate delegate;
        delegate.window = &window;
        delegate.replies = {qt::TerminateReply::terminateCancel};
        qt::LifeCycle cycle(delegate);
        bool visibleAfterCancel = false;
        delegate.onDidFinish = [&] {
            way.quit(cycle, window);
            QTimer::singleShot(0, [&] {
                visibleAfterCancel = window.isVisible();
                way.quit(cycle, window);
            });
        };
        EXPECT_EQ(cycle.run(&window, {"/tmp/a.png", "/tmp/b.pdf"}), 0);
        EXPECT_TRUE(visibleAfterCancel);
        // The first quit is asked inside did-finish, before the handed-over files.
        const std::vector<std::string> expected = {"will-finish", "did-finish(shown)", "should-terminate",
                                                   "open /tmp/a.png", "open /tmp/b.pdf", "should-terminate",
                                                   "will-terminate"};
        EXPECT_EQ(delegate.events, expected);
        EXPECT_EQ(cycle.willTerminateCount(), 1);
        EXPECT_EQ(cycle.end(), qt::LifeCycle::End::quit);
    }
}

TEST(LifeCycle, TerminationSignalsEndInOrderWithoutAsking) {
    qt::LifeCycle::installSignalHandlers();
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        qt::Window window;
        RecordingDelegate delegate;
        delegate.window = &window;
        delegate.replies = {qt::TerminateReply::terminateCancel};
        qt::LifeCycle cycle(delegate);
        delegate.onDidFinish = [signal] { std::raise(signal); };
        EXPECT_EQ(cycle.run(&window), 0);
        const std::vector<std::string> expected = {"will-finish", "did-finish(shown)", "will-terminate"};
        EXPECT_EQ(delegate.events, expected);
        EXPECT_EQ(cycle.end(), qt::LifeCycle::End::signal);
        EXPECT_EQ(cycle.endSignal(), signal);
    }
    // A signal that comes while the program starts is acted on before the window shows
    // (not at the loop's first turn, where the window's first paint could come first): the
    // run says so, and the files it was given go to the delegate for the end's save.
    qt::Window window;
    RecordingDelegate delegate;
    qt::LifeCycle cycle(delegate);
    std::raise(SIGTERM);
    EXPECT_EQ(cycle.run(&window, {"/tmp/given.png"}), 0);
    const std::vector<std::string> expected = {"will-finish", "open /tmp/given.png", "will-terminate"};
    EXPECT_EQ(delegate.events, expected);
    EXPECT_EQ(cycle.end(), qt::LifeCycle::End::signal);
    EXPECT_FALSE(cycle.mainWindowAppeared());
    EXPECT_FALSE(window.isVisible());
}

TEST(LifeCycle, AnExitWithoutTerminatingTellsTheDelegateNothingAndLaterQuitsAreNoOps) {
    qt::Window window;
    RecordingDelegate delegate;
    qt::LifeCycle cycle(delegate);
    delegate.onDidFinish = [&] {
        cycle.exitWithoutTerminating(0);
        EXPECT_TRUE(cycle.terminate());
        cycle.terminateWithoutAsking();
    };
    EXPECT_EQ(cycle.run(&window), 0);
    const std::vector<std::string> expected = {"will-finish", "did-finish"};
    EXPECT_EQ(delegate.events, expected);
    EXPECT_EQ(cycle.willTerminateCount(), 0);
}

// Files a later launch hands over open after those this run was started with (however
// early they come), and the window comes back to the front, and a panel of the window
// shown while it was put away with it; while an end is decided or under way a later
// launch is to wait (the observer hears it): files taken just before open at once, for
// the end's save, and nothing handed over after the end's save opens any more.
TEST(LifeCycle, FilesHandedOverOpenAfterTheRunsOwnAndForTheSaveOfAnEndDecidedMeanwhile) {
    qt::Window window;
    qt::Panel panel(&window);
    RecordingDelegate delegate;
    delegate.window = &window;
    delegate.replies = {qt::TerminateReply::terminateCancel};
    qt::LifeCycle cycle(delegate);
    std::vector<bool> ending;
    cycle.setEndingObserver([&](bool now) {
        ending.push_back(now);
        // Taken by the instance in the moment before the end was decided.
        if (now && ending.size() == 3) cycle.handOver({"/tmp/at-the-end.png"});
    });
    cycle.handOver({"/tmp/early.png"});
    bool backInFront = false, panelWhileAway = true;
    QTimer backOnScreen;
    delegate.onDidFinish = [&] {
        QTimer::singleShot(0, [&] {
            cycle.handOver({"/tmp/later.png", "/tmp/other.png"});
            window.showMinimized();
            panel.show();
            panelWhileAway = panel.isVisible();
            cycle.handOver({});
            backInFront = window.isVisible() && !window.isMinimized();
            QObject::connect(&backOnScreen, &QTimer::timeout, [&] {
                if (!panel.isVisible()) return;
                backOnScreen.stop();
                cycle.terminate();
                cycle.terminate();
                cycle.handOver({"/tmp/too-late.png"});
            });
            backOnScreen.start(10);
        });
    };
    EXPECT_EQ(cycle.run(&window, {"/tmp/given.png"}), 0);
    const std::vector<std::string> expected = {"will-finish",           "did-finish(shown)", "open /tmp/given.png",
                                               "open /tmp/early.png",   "open /tmp/later.png", "open /tmp/other.png",
                                               "should-terminate",      "open /tmp/at-the-end.png",
                                               "should-terminate",      "will-terminate"};
    EXPECT_EQ(delegate.events, expected);
    EXPECT_TRUE(backInFront);
    EXPECT_FALSE(panelWhileAway);
    EXPECT_EQ(ending, (std::vector<bool>{true, false, true}));
}

}  // namespace
