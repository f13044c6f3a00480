// The application delegate with a real engine, real files and the settings of the test
// process: the saved state across two delegates, bad saved states, quits held back for
// the other-apps prompt, files handed over and notification clicks.
#include "app/ui/app_delegate.hpp"

#include "platform/appkit/application_delegate.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/log/system_log.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_delegate_forwarder.hpp"

#include "app/foundation/localized_string.hpp"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QMessageBox>
#include <gtest/gtest.h>

#include <filesystem>
#include <any>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;

std::string svg(int size, const char* colour) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(size) + "\" height=\"" +
           std::to_string(size) + "\"><rect width=\"100%\" height=\"100%\" fill=\"" + colour + "\"/></svg>";
}

struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink{[this](const platform::log::LogRecord& record) {
        std::lock_guard lock(mutex);
        lines.push_back(record.message);
    }};
    bool contains(const std::string& part) {
        std::lock_guard lock(mutex);
        for (const auto& line : lines) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }
};

std::shared_ptr<gw::Glyphwright> makeEngine() {
    auto engine = gw::Glyphwright::make();
    engine->setCollectionViewArrayController(std::make_shared<platform::appkit::ArrayController>());
    return engine;
}

// A fresh delegate holding a fresh engine, as the application starts them, once the
// saved pictures have been read.
struct Started {
    std::shared_ptr<gw::AppDelegate> delegate = gw::AppDelegate::make();
    std::shared_ptr<gw::Glyphwright> engine = makeEngine();
    Started() {
        delegate->setGlyphwright(engine);
        delegate->finishRestoring();
    }
};

// Waits until the pictures handed to the engine's background reading are in it.
void settle(gw::Glyphwright& engine) {
    engine.waitForBackgroundReading();
    platform::dispatch::MainLoop::drain();
}

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        gw::AppDelegate::runningUnderTests = true;
        fs::remove(gw::Glyphwright::savedStatePath());
    }
    gwtest::TempDir dir_;
};

TEST_F(AppDelegateTest, PicturesAndTheirSelectionSurviveAQuitAndARestart) {
    LogLines log;
    const auto first = dir_.path() / "first.svg";
    const auto second = dir_.path() / "second.svg";
    gwtest::writeFile(first, svg(512, "#3a7bd5"));
    gwtest::writeFile(second, svg(256, "#aa3300"));
    {
        auto [delegate, engine] = Started();
        EXPECT_TRUE(log.contains("Failed to restore image inputs")) << "first run";
        EXPECT_TRUE(engine->imageInputs().empty());
        delegate->openFiles({first.string(), second.string()});
        settle(*engine);
        ASSERT_EQ(engine->imageInputs().size(), 2u);
        engine->collectionViewArrayController()->setSelectionIndexes({1});
        delegate->applicationWillTerminate();
    }
    ASSERT_TRUE(fs::exists(gw::Glyphwright::savedStatePath()));
    auto [delegate, engine] = Started();
    ASSERT_EQ(engine->imageInputs().size(), 2u);
    EXPECT_EQ(engine->imageInputCollectionType(), gw::CollectionType::variants);
    EXPECT_EQ(engine->collectionViewArrayController()->selectionIndexes(), (std::set<std::size_t>{1}));
}

TEST_F(AppDelegateTest, ABadSavedStateIsLoggedAndLeavesTheEngineEmpty) {
    const auto path = gw::Glyphwright::savedStatePath();
    for (const std::string& content : {std::string("garbage"), std::string("null"), std::string("{\"imageInputs\":[{"),
                                      std::string()}) {
        SCOPED_TRACE(content);
        LogLines log;
        fs::create_directories(path.parent_path());
        pf::files::writeAtomically(path, content);
        auto [delegate, engine] = Started();
        EXPECT_TRUE(log.contains("Failed to restore image inputs"));
        EXPECT_TRUE(engine->imageInputs().empty());
        // The alert a damaged state brings is the real window's test's to read.
        for (auto* widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMessageBox*>(widget)) widget->close();
        }
    }
    // No engine at quit: the file says so, and the next start logs it.
    auto delegate = gw::AppDelegate::make();
    delegate->applicationWillTerminate();
    EXPECT_EQ(gwtest::readFile(path), "null");
}

TEST_F(AppDelegateTest, AReadOnlyDataFolderAtQuitIsLoggedAndThePreviousFileStays) {
    if (!gwtest::runWherePermissionsBind()) return;
    const auto path = gw::Glyphwright::savedStatePath();
    fs::create_directories(path.parent_path());
    pf::files::writeAtomically(path, "null");
    LogLines log;
    auto delegate = gw::AppDelegate::make();
    delegate->setGlyphwright(makeEngine());
    fs::permissions(path.parent_path(), fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    delegate->applicationWillTerminate();
    fs::permissions(path.parent_path(), fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_TRUE(log.contains("Failed to save Glyphwright to disk"));
    EXPECT_EQ(gwtest::readFile(path), "null");
}

TEST_F(AppDelegateTest, TheOtherAppsPromptHoldsAQuitBackAtMostOncePerLaunch) {
    struct Case {
        const char* name;
        std::int64_t launchCount;
        bool suppressed;
        bool presenterShows;
        std::vector<qt::TerminateReply> replies;
        int prompts;
    };
    using R = qt::TerminateReply;
    const std::vector<Case> cases = {
        {"count 8", 8, false, true, {R::terminateCancel, R::terminateNow}, 1},
        {"count 16", 16, false, true, {R::terminateCancel, R::terminateNow}, 1},
        {"count 7", 7, false, true, {R::terminateNow}, 0},
        {"count 9", 9, false, true, {R::terminateNow}, 0},
        {"count 8, prompts suppressed", 8, true, true, {R::terminateNow}, 0},
        // A presenter that shows nothing leaves the framework agreeing: the next quit
        // still goes through.
        {"count 8, nothing shown", 8, false, false, {R::terminateCancel, R::terminateNow}, 1},
    };
    auto& defaults = pf::UserDefaults::standard();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto delegate = gw::AppDelegate::make();
        int prompts = 0;
        delegate->siblingcast().setPresenter([&prompts, shows = c.presenterShows] {
            ++prompts;
            return shows;
        });
        delegate->applicationWillFinishLaunching();
        defaults.setInteger(0, gw::SiblingcastController::kSuppressionKey);
        defaults.setInteger(c.launchCount, "com.norvane.glyphwrightlaunchCount");
        defaults.setBool(c.suppressed, "suppressAllPromptsToReview");
        std::vector<R> replies;
        for (std::size_t i = 0; i < c.replies.size(); ++i) replies.push_back(delegate->applicationShouldTerminate());
        EXPECT_EQ(replies, c.replies);
        EXPECT_EQ(prompts, c.prompts);
    }
    defaults.setBool(false, "suppressAllPromptsToReview");
}

TEST_F(AppDelegateTest, HandedOverFilesAddPicturesOrChooseTheCatalog) {
    const auto picture = dir_.path() / "art.svg";
    const auto other = dir_.path() / "other.svg";
    const auto catalog = dir_.path() / "Out.xcassets";
    const auto stickers = dir_.path() / "Pack.stickerpack";
    gwtest::writeFile(picture, svg(300, "#00aa00"));
    gwtest::writeFile(other, svg(300, "#0000aa"));
    fs::create_directories(catalog);
    fs::create_directories(stickers);
    struct Case {
        const char* name;
        std::vector<std::string> paths;
        std::size_t pictures;
        std::optional<fs::path> output;
    };
    const std::vector<Case> cases = {
        {"one picture", {picture.string()}, 1, std::nullopt},
        {"two pictures", {picture.string(), other.string()}, 2, std::nullopt},
        // Each on its own: one that is not there costs the others nothing.
        {"a missing file before two pictures", {(dir_.path() / "a-missing.svg").string(), picture.string(), other.string()},
         2, std::nullopt},
        {"a catalog among pictures", {picture.string(), catalog.string() + "/", other.string()}, 0, catalog},
        {"a sticker pack alone", {stickers.string()}, 0, stickers},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [delegate, engine] = Started();
        delegate->openFiles(c.paths);
        settle(*engine);
        EXPECT_EQ(engine->imageInputs().size(), c.pictures);
        if (c.output) {
            ASSERT_TRUE(engine->outputDirectory().has_value());
            EXPECT_EQ(fs::path(engine->outputDirectory()->path()).lexically_normal(),
                      c.output->lexically_normal());
        } else {
            EXPECT_FALSE(engine->outputDirectory().has_value());
        }
    }
    // Handed over in the moment before an end: still being read when the end saves, and
    // saved all the same.
    {
        auto [delegate, engine] = Started();
        delegate->openFiles({picture.string(), other.string()});
        delegate->applicationWillTerminate();
        platform::dispatch::MainLoop::drain();
        EXPECT_EQ(engine->imageInputs().size(), 2u);
    }
    {
        auto [delegate, engine] = Started();
        EXPECT_EQ(engine->imageInputs().size(), 2u);
    }
    fs::remove(gw::Glyphwright::savedStatePath());
    // A missing file is refused and shown as an error on the window.
    auto [delegate, engine] = Started();
    EXPECT_FALSE(delegate->openFile((dir_.path() / "missing.png").string()));
    EXPECT_TRUE(engine->imageInputs().empty());
    QMessageBox* shown = nullptr;
    EXPECT_TRUE(gwtest::gui::waitFor([&shown] {
        for (auto* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box && box->isVisible()) shown = box;
        }
        return shown != nullptr;
    }));
    if (shown) shown->close();
}

}  // namespace

namespace {

// Runs the delegate's life cycle; `during` runs on the first loop turn after did-finish.
struct CycleDelegate : qt::ApplicationDelegate {
    std::shared_ptr<gw::AppDelegate> inner;
    std::function<void()> during;
    void applicationWillFinishLaunching() override {}
    void applicationDidFinishLaunching() override { QTimer::singleShot(0, during); }
    qt::TerminateReply applicationShouldTerminate() override { return inner->applicationShouldTerminate(); }
    void applicationWillTerminate() override { inner->applicationWillTerminate(); }
};

TEST_F(AppDelegateTest, AForcedUpdateEndsTheLoopWithZeroAfterTheAlertAndSavesNothing) {
    const auto path = gw::Glyphwright::savedStatePath();
    fs::create_directories(path.parent_path());
    pf::files::writeAtomically(path, "null");
    QWidget window;
    CycleDelegate cycleDelegate;
    cycleDelegate.inner = gw::AppDelegate::make();
    cycleDelegate.inner->setGlyphwright(makeEngine());
    std::string alertText;
    cycleDelegate.during = [&] {
        gwtest::gui::answerNextModal([&](QWidget& modal) {
            if (auto* box = qobject_cast<QMessageBox*>(&modal)) alertText = box->text().toStdString();
            QTest::keyClick(&modal, Qt::Key_Return);
        });
        cycleDelegate.inner->handleVersionCheck(1e6f, std::nullopt, true);
    };
    qt::LifeCycle cycle(cycleDelegate);
    EXPECT_EQ(cycle.run(&window), 0);
    EXPECT_EQ(cycle.willTerminateCount(), 0);
    EXPECT_EQ(gwtest::readFile(path), "null");
    // The version text is empty when the record has none.
    EXPECT_EQ(alertText, gw::LocalizedString::versionCheckAlertMessageText(std::string()));
}


// An SDK component asks for two callbacks before the application reports its delegate:
// the one the delegate forwards reaches it with its arguments, the other is refused.
TEST_F(AppDelegateTest, ForwardedLifeCycleCallbacksReachTheComponentsThatAskedForThem) {
    struct Observer : rddi::RDDICustomApplicationDelegate {
        std::vector<std::string> heard;
        std::vector<std::string> files;
        bool respondsToCallback(const std::string&) const override { return true; }
        std::any handleCallback(const std::string& name, const rddi::RDDIForwardedArguments& arguments) override {
            heard.push_back(name);
            if (!arguments.empty()) files = std::any_cast<std::vector<std::string>>(arguments.front());
            return {};
        }
    };
    rddi::RDDIAppDelegateForwarder::resetSharedInstance();
    auto forwarder = rddi::RDDIAppDelegateForwarder::sharedInstance();
    auto observer = std::make_shared<Observer>();
    forwarder->addDelegate(observer);
    forwarder->addDelegateSelectorToSwizzle("application:openFiles:");
    forwarder->addDelegateSelectorToSwizzle("applicationDidBecomeActive:");

    auto delegate = gw::AppDelegate::make();
    delegate->setGlyphwright(makeEngine());
    platform::appkit::ApplicationDelegateRegistry::setDelegate(delegate);
    EXPECT_TRUE(forwarder->isForwarding("application:openFiles:"));
    EXPECT_FALSE(forwarder->isForwarding("applicationDidBecomeActive:"));

    const auto picture = dir_.path() / "forwarded.svg";
    gwtest::writeFile(picture, svg(64, "#00ff00"));
    delegate->openFiles({picture.string()});
    settle(*delegate->glyphwright());
    delegate->applicationWillTerminate();  // not asked for
    EXPECT_EQ(observer->heard, std::vector<std::string>{"application:openFiles:"});
    EXPECT_EQ(observer->files, std::vector<std::string>{picture.string()});
    EXPECT_EQ(delegate->glyphwright()->imageInputs().size(), 1u);
    platform::appkit::ApplicationDelegateRegistry::setDelegate(nullptr);
}

}  // namespace
