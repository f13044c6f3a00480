// The main window over a real engine: what its controls show for the engine's state, the
// panels per output type, and how a run's results reach the user (sheets one at a time,
// each folder revealed once, nothing after the window is gone).
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "app/shell/prompt_frameworks.hpp"
#include "app/ui/main_window.hpp"
#include "app/engine/engine_writing_support.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/appkit/user_notification.hpp"
#include "platform/appkit/view_appearance.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/gui/gui_harness.hpp"

#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;
using gw::ConversionOutputType;
using gw::CollectionType;
using gwtest::gui::waitFor;
using platform::dispatch::MainLoop;

struct NullEvents final : gw::ratewell::EventTrackingLogger {
    void log(const std::string&) override {}
    void log(const std::string&, const pf::Dictionary&) override {}
};

struct RecordingAppDelegate final : gw::OLVAppDelegateProtocol {
    int openDialogs = 0;
    int destinationDialogs = 0;
    int settingsDialogs = 0;
    std::vector<std::string> revealed;
    gw::Ratewell prompter{std::make_shared<NullEvents>(), nullptr};
    void showOpenFileDialog() override { ++openDialogs; }
    void showOutputDestinationDialog() override { ++destinationDialogs; }
    void showSettingsDialog() override { ++settingsDialogs; }
    void openFinderAtURL(const pf::URL& url) override { revealed.push_back(url.path()); }
    gw::Ratewell& myPrompter() override { return prompter; }
};

class MainWindow : public gwtest::engine::EngineEnvironment {
protected:
    std::shared_ptr<gw::Glyphwright> engine = gw::Glyphwright::make();
    std::shared_ptr<RecordingAppDelegate> app = std::make_shared<RecordingAppDelegate>();
    gw::MainInterface ui;
    gw::MainViewViewController* c = nullptr;
    pa::MenuPtr mainMenu = pa::Menu::make();

    MainWindow() {
        engine->setCollectionViewArrayController(std::make_shared<pa::ArrayController>());
        ui = gw::loadMainInterface(engine);
        c = ui.controller.get();
        c->setAppDelegate(app);
        // The menu bar holds the create item, so its shortcut works as in the application.
        auto file = pa::MenuItem::make("File");
        file->setSubmenu(pa::Menu::make("File"));
        file->submenu()->addItem(ui.createMenuItem);
        mainMenu->addItem(file);
        qt::Application::shared()->setMainMenu(mainMenu);
        ui.window->show();
        MainLoop::drain();
    }
    ~MainWindow() override {
        qt::Application::shared()->setMainMenu(nullptr);
        engine->waitUntilAllOperationsAreFinished();
        MainLoop::drain();
    }

    gw::ImageInputPtr add(int side, const std::string& name) {
        auto input = gwtest::engine::picture(side, side, name);
        engine->insert(input);
        return input;
    }
    std::vector<bool> createControlsEnabled() {
        return {c->createAssetCatalogButton()->isEnabled(), c->createAssetCatalogMenuItem()->isEnabled(),
                c->createCatalogTouchBarButton().isEnabled()};
    }
    std::vector<std::string> createControlTitles() {
        return {c->createAssetCatalogButton()->text().toStdString(), c->createAssetCatalogMenuItem()->title(),
                c->createCatalogTouchBarButton().title()};
    }
    std::vector<std::string> visiblePanels() {
        std::vector<std::string> titles;
        for (auto* panel : c->allPanels()) {
            if (panel->isVisible()) titles.push_back(panel->windowTitle().toStdString());
        }
        return titles;
    }
    bool aBoxIsShown() {
        for (auto* box : ui.window->findChildren<QMessageBox*>()) if (box->isVisible()) return true;
        return false;
    }
    void closeBoxes() {
        for (auto* box : ui.window->findChildren<QMessageBox*>()) box->close();
    }
    static gw::GlyphwrightResult failure(const std::string& text) {
        return gw::GlyphwrightResult::failure(std::make_exception_ptr(std::runtime_error(text)));
    }
    gw::GlyphwrightResult success(const fs::path& folder, ConversionOutputType type = ConversionOutputType::iOSIcon) {
        auto input = gwtest::engine::picture(64, 64, "Logo");
        gw::ImageInputCollection collection{{input}, CollectionType::single};
        return gw::GlyphwrightResult::success({gw::FolderDefinition{}, collection, folderURL(folder), type});
    }
    // As the engine reports: from an operation thread.
    void deliverFromWorker(const std::vector<gw::GlyphwrightResult>& results) {
        std::thread worker([&] {
            for (const auto& result : results) c->glyphwrightDidFinishFolder(*engine, result);
        });
        worker.join();
    }
};

TEST_F(MainWindow, CreateControlsAreTitledByWhetherTheOutputIsACatalog) {
    struct Case {
        std::optional<fs::path> folder;
        const char* title;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "Create Asset Catalog"},
        {dir_.path() / "Images.xcassets", "Update Asset Catalog"},
        {dir_.path() / "Images.xcassets" / "Icons", "Update Asset Catalog"},
        {dir_.path() / "Plain", "Create Asset Catalog"},
        // A folder name holding a percent sign is shown as it is.
        {dir_.path() / "100%25 done", "Create Asset Catalog"},
    };
    for (const auto& item : cases) {
        if (item.folder) fs::create_directories(*item.folder);
        engine->setOutputDirectory(item.folder ? std::optional(folderURL(*item.folder)) : std::nullopt);
        SCOPED_TRACE(item.folder ? item.folder->string() : "none");
        EXPECT_EQ(createControlTitles(), std::vector<std::string>(3, item.title));
        EXPECT_EQ(c->outputDirectoryButton()->text().toStdString(),
                  item.folder ? item.folder->string() : "Output Folder…");
    }
}

TEST_F(MainWindow, TheWellAndTheButtonsAskTheApplicationAndEscapeKeepsTheWindow) {
    QTest::mouseClick(c->imageWell(), Qt::LeftButton);
    c->outputDirectoryButton()->click();
    c->settingsButton()->click();
    EXPECT_EQ((std::vector<int>{app->openDialogs, app->destinationDialogs, app->settingsDialogs}),
              (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(c->imageWell()->image(), c->dropImage());
    EXPECT_NE(c->dropImage(), nullptr);
    QTest::keyClick(ui.window.get(), Qt::Key_Escape);
    EXPECT_TRUE(ui.window->isVisible());
    // A well drop of a file that is gone is presented on the window.
    c->pictureListAnswers()->handleLoadedPasteboardItems(
        gw::PasteboardLoadResult::fileURLs({pf::URL::fileURL(dir_.path() / "missing.png")}));
    ASSERT_TRUE(waitFor([&] { return aBoxIsShown(); }));
    closeBoxes();
}

TEST_F(MainWindow, TheWarningFieldShowsTwoWarningsAndCountsTheRest) {
    const auto input = gwtest::engine::picture(10, 10, "Small");
    gw::ConversionWarnings warnings;
    for (int side : {20, 40, 60}) {
        warnings.push_back({input, gw::ConversionWarning::Kind::size, false, platform::graphics::Size{double(side), double(side)}});
    }
    auto* field = c->warningTextField();
    c->glyphwrightReadyStateDidChange(*engine, gw::ReadyState::warnings(warnings));
    const auto lines = field->toolTip().split('\n');
    ASSERT_EQ(lines.size(), 3);
    for (const auto& line : lines) EXPECT_TRUE(line.startsWith(QStringLiteral("⚠️ "))) << line.toStdString();
    EXPECT_EQ(field->text(), lines[0] + "\n" + lines[1] + "…and 1 more");
    EXPECT_TRUE(field->isVisible());

    c->glyphwrightReadyStateDidChange(
        *engine, gw::ReadyState::error(std::make_exception_ptr(std::runtime_error("No output folder"))));
    EXPECT_EQ(field->text().toStdString(), "⛔️ No output folder");
    EXPECT_EQ(field->toolTip(), field->text());
    {
        // The sign is drawn (a colour emoji font is installed), not an empty box.
        const QImage drawn = field->grab().toImage();
        int red = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QColor pixel = drawn.pixelColor(x, y);
                if (pixel.red() > 180 && pixel.green() < 90 && pixel.blue() < 90) ++red;
            }
        }
        EXPECT_GT(red, 10);
    }
    EXPECT_TRUE(field->isVisible());
    EXPECT_EQ(createControlsEnabled(), std::vector<bool>(3, false));

    c->glyphwrightReadyStateDidChange(*engine, gw::ReadyState::ready());
    EXPECT_FALSE(field->isVisible());
}

// Names and paths from outside are shown with their control characters and broken bytes
// escaped: the output folder's button, a picture's name in the warning line, a failure's
// reason in its sheet.
TEST_F(MainWindow, NamesAndPathsAreShownWithTheirControlCharactersEscaped) {
    const auto folder = dir_.path() / "out\x1b[2J\xc2\x9b";
    const std::string folderShown = (dir_.path() / "out\\x1b[2J\\xc2\\x9b").string();
    fs::create_directories(folder);
    engine->setOutputDirectory(folderURL(folder));
    EXPECT_EQ(c->outputDirectoryButton()->text().toStdString(), folderShown);

    // Picture names lose control characters (C0 and C1) but keep broken bytes.
    const auto input = gwtest::engine::picture(10, 10, "Bad\xc2\x9b\xff");
    c->glyphwrightReadyStateDidChange(
        *engine, gw::ReadyState::warnings({{input, gw::ConversionWarning::Kind::size, true,
                                            platform::graphics::Size{20, 20}}}));
    EXPECT_EQ(c->warningTextField()->toolTip().toStdString().rfind("⚠️ Bad\\xff: The image is too small", 0), 0u)
        << c->warningTextField()->toolTip().toStdString();

    deliverFromWorker({failure("Cannot write " + folder.string())});
    MainLoop::drain();
    ASSERT_TRUE(waitFor([&] { return c->currentFailureSheet() && c->currentFailureSheet()->isVisible(); }));
    EXPECT_EQ(c->currentFailureSheet()->informativeText().toStdString(), "Cannot write " + folderShown);
    closeBoxes();
}

TEST_F(MainWindow, SwitchingCollectionTypesKeepsTheFirstSelectedPictureForSingle) {
    engine->setImageInputCollectionType(CollectionType::variants);
    const auto a = add(32, "A"), b = add(32, "B"), d = add(32, "C");
    engine->selectAll();
    ASSERT_EQ(engine->selectedImageInputs().size(), 3u);
    engine->setImageInputCollectionType(CollectionType::variants);
    EXPECT_EQ(engine->selectedImageInputs().size(), 3u);

    // The control switches the page and the engine's type together.
    c->collectionTypeControl()->segmentButton(0)->click();
    EXPECT_EQ(engine->imageInputCollectionType(), CollectionType::single);
    EXPECT_EQ(engine->selectedImageInputs(), std::vector<gw::ImageInputPtr>{a});
    EXPECT_EQ(c->imageWell()->image(), a->imageWrapper()->image());
    EXPECT_FALSE(c->imageViewEmptyPlaceholder()->isVisible());
    EXPECT_TRUE(c->imageWell()->isVisible());

    c->collectionTypeControl()->segmentButton(2)->click();
    EXPECT_TRUE(c->batchExportCollectionView()->isVisible());
    EXPECT_FALSE(c->imageWell()->isVisible());
    (void)b;
    (void)d;
}

// Whether `list`, once it shows all `count` pictures, scrolls: taller than what shows of
// it, every picture laid out within it, and scrolled to its end the last one in view.
void expectScrollsToTheLast(QWidget* list, std::size_t count) {
    ASSERT_TRUE(waitFor([&] {
        return list->isVisible() &&
               list->findChildren<platform::appkit::qt::CollectionViewItem*>(Qt::FindDirectChildrenOnly).size() ==
                   qsizetype(count);
    }));
    QScrollArea* area = nullptr;
    for (QWidget* above = list->parentWidget(); above != nullptr && !area; above = above->parentWidget()) {
        area = qobject_cast<QScrollArea*>(above);
    }
    ASSERT_NE(area, nullptr) << "the list does not scroll";
    // Laid out as the events of the change come (a window adds pictures as they are read).
    EXPECT_TRUE(waitFor([&] { return area->verticalScrollBar()->maximum() > 0; })) << "the list does not scroll";
    // Every picture is laid out within the list, the list is taller than what shows of it.
    QRect all;
    QWidget* last = nullptr;
    for (auto* item : list->findChildren<platform::appkit::qt::CollectionViewItem*>(Qt::FindDirectChildrenOnly)) {
        all = all.united(item->geometry());
        if (!last || item->geometry().top() > last->geometry().top() ||
            (item->geometry().top() == last->geometry().top() && item->geometry().left() > last->geometry().left())) {
            last = item;
        }
    }
    ASSERT_NE(last, nullptr);
    EXPECT_LE(all.bottom(), list->height());
    EXPECT_GT(list->height(), area->viewport()->height());
    // Scrolled to its end, the last picture is in view.
    area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
    MainLoop::drain();
    const QRect shown(area->viewport()->mapToGlobal(QPoint(0, 0)), area->viewport()->size());
    const QRect lastShown(last->mapToGlobal(QPoint(0, 0)), last->size());
    EXPECT_TRUE(shown.contains(lastShown)) << "the last picture is out of view";
    area->verticalScrollBar()->setValue(0);
}

// A folder may hold more pictures than the window shows: each list scrolls, so that the
// last of them can be seen and picked as the first can, whichever list showed while they
// were added (the other is laid out again as it shows again).
class ScrollingLists : public MainWindow, public ::testing::WithParamInterface<CollectionType> {};

TEST_P(ScrollingLists, AListOfMorePicturesThanTheWindowShowsScrollsToTheLast) {
    const CollectionType first = GetParam();
    const auto other = first == CollectionType::batch ? CollectionType::variants : CollectionType::batch;
    // Both lists shown once, empty, as a user trying the types does: showing one again
    // then resizes nothing that would lay it out.
    for (const auto type : {other, first}) {
        engine->setImageInputCollectionType(type);
        MainLoop::drain();
    }
    std::vector<gw::ImageInputPtr> inputs;
    for (int i = 0; i < 60; ++i) inputs.push_back(add(32, "P" + std::to_string(i)));
    ASSERT_EQ(engine->imageInputs().size(), inputs.size());
    for (const auto type : {other, first}) {
        SCOPED_TRACE(static_cast<int>(type));
        engine->setImageInputCollectionType(type);
        MainLoop::drain();
        expectScrollsToTheLast(type == CollectionType::batch ? static_cast<QWidget*>(c->batchExportCollectionView())
                                                             : static_cast<QWidget*>(c->multipleSizesCollectionView()),
                               inputs.size());
    }
}

INSTANTIATE_TEST_SUITE_P(AddedWhileShowing, ScrollingLists,
                         ::testing::Values(CollectionType::batch, CollectionType::variants),
                         [](const auto& info) { return info.param == CollectionType::batch ? "Batch" : "Variants"; });

TEST_F(MainWindow, EachOutputTypeShowsItsOwnPanelOnly) {
    struct Case {
        ConversionOutputType type;
        std::vector<std::string> shown;
        bool disclosure;
    };
    const std::vector<Case> cases = {
        {ConversionOutputType::asset, {"Asset Size"}, true},
        {ConversionOutputType::iOSSplash, {"Launch Image Previews"}, true},
        {ConversionOutputType::tvOSIcon, {"tvOS App Icon"}, true},
        {ConversionOutputType::tvOSLeaderboard, {"tvOS Leaderboard"}, true},
        {ConversionOutputType::iOSIcon, {}, false},
    };
    // The layer panels' editors get ready, and are seen appearing, each time their panel shows.
    int layerEditorAppearances = 0;
    const auto token = platform::appkit::ViewAppearance::addObserver([&](const std::string& className, bool) {
        if (className == "gw::LayerEditingViewController") ++layerEditorAppearances;
    });
    for (const auto& item : cases) {
        SCOPED_TRACE(static_cast<int>(item.type));
        // The help panel is open before every change: only the type's own panel survives.
        if (!c->helpPanel()->isVisible()) c->questionMarkButton()->click();
        engine->setResizeType(item.type);
        EXPECT_EQ(visiblePanels(), item.shown);
        EXPECT_EQ(c->typeDisclosure()->isEnabled(), item.disclosure);
        EXPECT_EQ(pf::UserDefaults::standard().objectForKey("IconType").asInteger(),
                  std::optional<std::int64_t>(static_cast<std::int64_t>(item.type)));
    }
    platform::appkit::ViewAppearance::removeObserver(token);
    EXPECT_EQ(layerEditorAppearances, 2);
    // The help button toggles; the disclosure brings the type's panel back.
    c->questionMarkButton()->click();
    EXPECT_EQ(visiblePanels(), std::vector<std::string>{"Using Your Asset Catalog"});
    c->questionMarkButton()->click();
    EXPECT_TRUE(visiblePanels().empty());
    engine->setResizeType(ConversionOutputType::asset);
    c->assetSizePanel()->close();
    c->typeDisclosure()->click();
    EXPECT_EQ(visiblePanels(), std::vector<std::string>{"Asset Size"});
}

TEST_F(MainWindow, FailureSheetsWaitTheirTurn) {
    deliverFromWorker({failure("one"), failure("two"), failure("three"), failure("four"), failure("five")});
    MainLoop::drain();
    std::vector<std::string> seen;
    while (seen.size() < 5) {
        ASSERT_TRUE(waitFor([&] { return c->currentFailureSheet() && c->currentFailureSheet()->isVisible(); }));
        auto* sheet = c->currentFailureSheet();
        // Never stacked: only one is on screen.
        EXPECT_EQ(ui.window->findChildren<QMessageBox*>().size(), 1);
        EXPECT_EQ(sheet->text().toStdString(), "Conversion Failed");
        seen.push_back(sheet->informativeText().toStdString());
        EXPECT_EQ(c->pendingFailureSheetCount(), 4 - (seen.size() - 1));
        QTest::keyClick(sheet, Qt::Key_Return);
        ASSERT_TRUE(waitFor([&] { return c->currentFailureSheet() != sheet; }));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", "four", "five"}));
}

TEST_F(MainWindow, EachFolderIsRevealedOncePerRun) {
    pf::UserDefaults::standard().setBool(true, "OpenFinder");
    const auto a = dir_.path() / "A.xcassets", b = dir_.path() / "B";
    fs::create_directories(a);
    fs::create_directories(b);
    const auto run = [&](const std::vector<gw::GlyphwrightResult>& results) {
        c->glyphwrightDidStartCreating(*engine);
        deliverFromWorker(results);
        MainLoop::drain();
    };
    run({success(a), success(a), success(b), success(a)});
    EXPECT_EQ(app->revealed, (std::vector<std::string>{a.string(), b.string()}));
    // A new run reveals again.
    run({success(a)});
    EXPECT_EQ(app->revealed.size(), 3u);

    pf::UserDefaults::standard().setBool(false, "OpenFinder");
    run({success(b)});
    EXPECT_EQ(app->revealed.size(), 3u);
}

TEST_F(MainWindow, ResultsAndProgressArrivingAfterTheWindowIsGoneDoNothing) {
    pf::UserDefaults::standard().setBool(true, "OpenFinder");
    c->glyphwrightDidStartCreating(*engine);
    deliverFromWorker({failure("late"), success(dir_.path())});
    c->glyphwrightDidFinishAllOperations(*engine);
    ui.window.reset();
    MainLoop::drain();
    EXPECT_EQ(c->currentFailureSheet(), nullptr);
    EXPECT_TRUE(app->revealed.empty());

    // The controller itself gone: the engine's closures find nothing.
    std::weak_ptr<gw::MainViewViewController> weak = ui.controller;
    c = nullptr;
    ui.controller.reset();
    EXPECT_TRUE(weak.expired());
    engine->setOutputDirectory(folderURL(dir_.path()));
    std::thread worker([&] { engine->updateReadyState(); });
    worker.join();
    MainLoop::drain();
}

TEST_F(MainWindow, StartErrorsArePresentedAndTheButtonsFollowTheRun) {
    // A bus without a notification server: the run still completes.
    gwtest::desktop::PrivateSessionBus bus;
    pa::UserNotificationCenter::defaultCenter().reset();
    add(1024, "Icon");
    // No output folder: the error comes in a box on the window.
    c->createAssetCatalogPressed();
    ASSERT_TRUE(waitFor([&] { return aBoxIsShown(); }));
    closeBoxes();
    EXPECT_FALSE(c->activityIndicator()->isVisible());

    fs::create_directories(dir_.path() / "Out");
    engine->setOutputDirectory(folderURL(dir_.path() / "Out"));
    EXPECT_EQ(createControlsEnabled(), std::vector<bool>(3, true));
    c->createAssetCatalogPressed();
    // All three off for the whole run, so neither the shortcut nor the strip starts another.
    EXPECT_EQ(createControlsEnabled(), std::vector<bool>(3, false));
    EXPECT_TRUE(c->activityIndicator()->isVisible());
    QTest::keyClick(ui.window.get(), Qt::Key_B, Qt::ControlModifier);
    c->createCatalogTouchBarButton().press();
    const auto runOperations = engine->allOperations();
    ASSERT_TRUE(waitFor([&] { return createControlsEnabled() == std::vector<bool>(3, true); }));
    EXPECT_EQ(engine->allOperations(), runOperations);
    EXPECT_DOUBLE_EQ(c->activityIndicator()->highestValue(), 1.0);
    EXPECT_FALSE(c->activityIndicator()->isVisible());
    EXPECT_TRUE(fs::exists(dir_.path() / "Out" / "Assets.xcassets" / "AppIcon.appiconset" / "Contents.json"));
    EXPECT_TRUE(pa::UserNotificationCenter::defaultCenter().deliveredNotifications().empty());
    pa::UserNotificationCenter::defaultCenter().reset();
}

}  // namespace
