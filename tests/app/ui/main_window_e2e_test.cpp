// The whole conversion from the window as a user makes it: the desktop application as
// it starts, pictures and folders dropped on the well and the lists, output types chosen by their shortcuts, the
// output folder chosen in the destination sheet, create clicked. A private session bus
// carries the test notification server and file manager; a recording tracker takes the
// analytics; the built command line makes the catalog to compare with.
#include "app/engine/analytics_tracker.hpp"
#include "app/engine/engine_writing_support.hpp"
#include "app/engine/file_already_exists_action.hpp"
#include "app/shell/prompt_frameworks.hpp"
#include "app/ui/desktop_application.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/user_notification.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/file_manager_stand_in.hpp"
#include "support/desktop/notification_server_stand_in.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/photo_like_png.hpp"
#include "support/program_run.hpp"
#include "ui_test_support.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <QDialog>
#include <QPalette>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include <sys/mount.h>

namespace {

namespace fs = std::filesystem;
namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace desktop = gwtest::desktop;
using gw::ConversionOutputType;
using gwtest::gui::waitFor;
using platform::dispatch::MainLoop;

struct RecordingTransport final : gw::KKGATransport {
    mutable std::mutex mutex;
    std::vector<pf::Dictionary> hits;
    void sendHit(const pf::Dictionary& hit) override {
        std::lock_guard lock(mutex);
        hits.push_back(hit);
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex);
        std::vector<std::string> found;
        for (const auto& hit : hits) {
            const auto text = [&](const char* key) {
                const auto at = hit.find(key);
                const auto* value = at == hit.end() ? nullptr : at->second.asString();
                return value ? *value : std::string();
            };
            if (text("category") == "Usage") found.push_back(text("category") + "/" + text("action") + "/" + text("label"));
        }
        return found;
    }
};

// Every regular file below `folder`, by relative path, with its bytes.
std::map<std::string, std::string> filesBelow(const fs::path& folder) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = gwtest::readFile(entry.path());
    }
    return files;
}

std::vector<std::string> names(const std::map<std::string, std::string>& files) {
    std::vector<std::string> found;
    for (const auto& [name, bytes] : files) found.push_back(name);
    return found;
}

class MainWindowEndToEnd : public gwtest::engine::EngineEnvironment {
protected:
    desktop::PrivateSessionBus bus;
    desktop::FileManagerStandIn fileManager{bus.address()};
    desktop::NotificationServerStandIn notifications{bus.address()};
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::unique_ptr<gw::ui::DesktopApplication> app;
    gw::MainViewViewController* c = nullptr;

    MainWindowEndToEnd() {
        gw::AppDelegate::runningUnderTests = true;
        // The review prompt would come up modally after a few runs: only the test of the
        // request asks for it.
        pf::UserDefaults::standard().removeObject(gw::Ratewell::kRequestCountKey);
        pf::UserDefaults::standard().setBool(true, "suppressAllPromptsToReview");
        pa::UserNotificationCenter::defaultCenter().reset();
        gw::KKGASetSharedTracker(std::make_shared<gw::KKGATracker>(transport));
        app = gw::ui::DesktopApplication::make();
        c = app->mainViewController.get();
        app->delegate->applicationWillFinishLaunching();
        pa::UserNotificationCenter::defaultCenter().setDelegate(app->delegate);
        app->window->show();
        MainLoop::drain();
    }
    ~MainWindowEndToEnd() override {
        app->engine->waitUntilAllOperationsAreFinished();
        MainLoop::drain();
        app.reset();
        platform::appkit::qt::Application::shared()->setMainMenu(nullptr);
        gw::KKGASetSharedTracker(nullptr);
        pa::UserNotificationCenter::defaultCenter().reset();
    }

    fs::path png(const std::string& name, std::uint32_t rgb, int side = 1024) {
        return gwtest::ui::writeSolidPng(dir_.path() / "art" / name, side, side, rgb);
    }

    void drop(QWidget& target, const std::vector<fs::path>& files) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const auto& file : files) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(file.string())));
        mime.setUrls(urls);
        const QPoint point(target.width() / 2, target.height() / 2);
        QDragEnterEvent enter(point, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&target, &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDragMoveEvent move(point, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&target, &move);
        QDropEvent dropped(point, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&target, &dropped);
        ASSERT_TRUE(dropped.isAccepted());
    }

    // One picture dropped on the well, waited for until the engine holds it.
    void dropOnWell(const fs::path& picture) {
        drop(*c->imageWell(), {picture});
        ASSERT_TRUE(waitFor([&] { return app->engine->imageInputs().size() == 1; }));
    }

    void shortcut(Qt::Key key) { QTest::keyClick(app->window.get(), key, Qt::ControlModifier); }

    QFileDialog* visibleFileDialog() {
        for (auto* dialog : app->window->findChildren<QFileDialog*>()) {
            if (dialog->isVisible()) return dialog;
        }
        return nullptr;
    }

    // Through the destination sheet as a user does: the button, the folder, Return.
    void chooseOutputFolder(const fs::path& folder) {
        fs::create_directories(folder);
        pf::UserDefaults::standard().setBool(false, "scanSubfoldersForAssetCatalogs");
        c->outputDirectoryButton()->click();
        ASSERT_TRUE(waitFor([&] { return visibleFileDialog() != nullptr; }));
        auto* dialog = visibleFileDialog();
        dialog->setDirectory(QString::fromStdString(folder.parent_path().string()));
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(folder.filename().string()));
        QTest::keyClick(name, Qt::Key_Return);
        ASSERT_TRUE(waitFor([&] { return !visibleFileDialog() && !app->delegate->isSearchingForCatalogs(); }));
        ASSERT_TRUE(app->engine->outputDirectory().has_value());
        EXPECT_EQ(fs::path(app->engine->outputDirectory()->path()).lexically_normal(), folder.lexically_normal());
    }

    std::vector<std::string> createControlTitles() {
        return {c->createAssetCatalogButton()->text().toStdString(), c->createAssetCatalogMenuItem()->title(),
                c->createCatalogTouchBarButton().title()};
    }

    bool selectAllHidden() {
        return static_cast<const platform::appkit::TouchBarButton&>(*c->selectAllTouchBarItem()->view()).isHidden();
    }

    std::vector<bool> createControlsEnabled() {
        return {c->createAssetCatalogButton()->isEnabled(), c->createAssetCatalogMenuItem()->isEnabled(),
                c->createCatalogTouchBarButton().isEnabled()};
    }

    // Clicks create (or presses its shortcut) and waits for the run's end; the controls
    // are off meanwhile.
    void create(bool byShortcut = false) {
        ASSERT_EQ(createControlsEnabled(), std::vector<bool>(3, true));
        if (byShortcut) shortcut(Qt::Key_B);
        else c->createAssetCatalogButton()->click();
        EXPECT_EQ(createControlsEnabled(), std::vector<bool>(3, false));
        // The shortcut does nothing during the run.
        shortcut(Qt::Key_B);
        ASSERT_TRUE(waitFor([&] { return createControlsEnabled() == std::vector<bool>(3, true); }));
        app->engine->waitUntilAllOperationsAreFinished();
        MainLoop::drain();
    }

    // The catalog the command line writes from `input` into its own folder.
    fs::path commandLineCatalog(const std::vector<std::string>& arguments, const std::string& tag) {
        const auto work = dir_.path() / ("cli-" + tag);
        fs::create_directories(work / "out");
        gwtest::ProgramOptions options;
        options.workingDirectory = work;
        options.xdgRoot = work / "xdg";
        options.outFile = work / "out.txt";
        options.errFile = work / "err.txt";
        const auto granted = gwtest::runProgram(GW_GRANT_ROOT_PATH, {"/"}, options);
        EXPECT_EQ(granted.status, 0) << granted.err;
        auto all = arguments;
        all.insert(all.end(), {"-outputPath", (work / "out").string()});
        const auto run = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, all, options);
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        return work / "out" / "Assets.xcassets";
    }

    long reviewRequests() {
        return pf::UserDefaults::standard().objectForKey(gw::Ratewell::kRequestCountKey).asInteger().value_or(0);
    }
};

TEST_F(MainWindowEndToEnd, AnIOSIconFromTheWindowEqualsTheCommandLinesAndIsAnnounced) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.setBool(true, "OpenFinder");
    defaults.setBool(true, "ShowInstructions");
    defaults.setBool(false, "suppressAllPromptsToReview");
    const auto picture = png("Icon.png", 0x3366CC);
    ASSERT_NO_FATAL_FAILURE(dropOnWell(picture));
    EXPECT_EQ(gwtest::ui::centreColour(c->imageWell()->image()), 0x3366CCu);
    shortcut(Qt::Key_1);
    ASSERT_EQ(app->engine->resizeType(), ConversionOutputType::iOSIcon);
    const auto out = dir_.path() / "Out";
    chooseOutputFolder(out);
    const long requestsBefore = reviewRequests();

    create();
    EXPECT_DOUBLE_EQ(c->activityIndicator()->highestValue(), 1.0);
    const auto catalog = out / "Assets.xcassets";
    const auto expected = filesBelow(commandLineCatalog({"-inputPath", picture.string(), "-assetType", "iOSIcon"}, "ios"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(names(filesBelow(catalog)), names(expected));
    EXPECT_TRUE(filesBelow(catalog) == expected) << "the window's catalog differs from the command line's";

    ASSERT_TRUE(notifications.waitForNotify(1));
    const auto call = notifications.notifyCalls().at(0);
    EXPECT_EQ(call.summary, "Asset catalog created");
    EXPECT_EQ(call.body, gw::ConversionOutputTypes::displayName(ConversionOutputType::iOSIcon));
    EXPECT_GT(call.imageWidth, 0);
    EXPECT_NE(std::find(call.actions.begin(), call.actions.end(), "Show"), call.actions.end());
    pa::UserNotificationCenter::defaultCenter().waitUntilDelivered();
    const auto delivered = pa::UserNotificationCenter::defaultCenter().deliveredNotifications();
    ASSERT_EQ(delivered.size(), 1u);
    const auto* path = delivered[0].userInfo.at("output_path").asString();
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, app->engine->outputDirectory()->absoluteString());

    EXPECT_EQ(transport->events(), std::vector<std::string>{"Usage/Catalog Created/" +
                                                            gw::ConversionOutputTypes::displayName(ConversionOutputType::iOSIcon)});
    EXPECT_EQ(reviewRequests(), requestsBefore + 1);
    EXPECT_TRUE(c->helpPanel()->isVisible());
    ASSERT_TRUE(fileManager.waitForShowItems(1));
    MainLoop::drain();
    EXPECT_EQ(fileManager.showItemsCalls().size(), 1u);
}

TEST_F(MainWindowEndToEnd, AnOutputInsideACatalogUsesTheUpdateTextsAndKeepsTheHelpClosed) {
    pf::UserDefaults::standard().setBool(true, "ShowInstructions");
    ASSERT_NO_FATAL_FAILURE(dropOnWell(png("Icon.png", 0x22AA44)));
    for (const auto& folder : {dir_.path() / "Images.xcassets", dir_.path() / "Other" / "Images.xcassets" / "Icons"}) {
        SCOPED_TRACE(folder.string());
        fs::create_directories(folder);
        app->engine->setOutputDirectory(folderURL(folder));
        EXPECT_EQ(createControlTitles(), std::vector<std::string>(3, "Update Asset Catalog"));
        const auto before = notifications.notifyCalls().size();
        create(/*byShortcut=*/folder.filename() == "Icons");
        ASSERT_TRUE(notifications.waitForNotify(before + 1));
        EXPECT_EQ(notifications.notifyCalls().back().summary, "Asset catalog updated");
        // Only a run into the catalog itself keeps the help closed.
        if (folder.filename() == "Images.xcassets") {
            EXPECT_FALSE(c->helpPanel()->isVisible());
        }
        c->helpPanel()->close();
    }
}

TEST_F(MainWindowEndToEnd, ATvOSIconStackAndAnAssetAreMadeAsOnTheCommandLine) {
    const auto layers = dir_.path() / "layers";
    fs::create_directories(layers);
    std::vector<fs::path> files;
    for (auto [name, rgb] : std::vector<std::pair<std::string, std::uint32_t>>{{"a.png", 0xFF0000}, {"b.png", 0x00FF00}}) {
        files.push_back(gwtest::ui::writeSolidPng(layers / name, 800, 480, rgb));
    }
    shortcut(Qt::Key_4);
    ASSERT_EQ(app->engine->resizeType(), ConversionOutputType::tvOSIcon);
    app->engine->setImageInputCollectionType(gw::CollectionType::variants);
    // Dragged in any order, the files go in in name order, as the command line reads a
    // folder's.
    drop(*c->multipleSizesCollectionView(), {files[1], files[0]});
    ASSERT_TRUE(waitFor([&] { return app->engine->imageInputs().size() == 2; }));
    EXPECT_EQ(app->engine->imageInputs()[0]->imageName(), "a");
    // The app-icon layer panel came to the front with the pictures.
    ASSERT_TRUE(waitFor([&] { return c->appIconlayerEditingPanel()->isVisible(); }));
    const auto out = dir_.path() / "TV";
    chooseOutputFolder(out);
    create();
    ASSERT_TRUE(notifications.waitForNotify(1));
    EXPECT_EQ(notifications.notifyCalls().back().imageWidth, 0);
    const auto expected = filesBelow(commandLineCatalog(
        {"-inputPath", layers.string(), "-assetType", "tvOSIcon", "-collectionType", "variants"}, "tv"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(names(filesBelow(out / "Assets.xcassets")), names(expected));
    const auto made = filesBelow(out / "Assets.xcassets");
    for (const auto& [name, bytes] : expected) {
        EXPECT_TRUE(made.count(name) && made.at(name) == bytes) << name << " differs:\n" << (made.count(name) ? made.at(name) : "") << "\n" << bytes;
    }

    // An asset, into the catalog just made: its notification names the picture first.
    app->engine->setOutputDirectory(folderURL(out / "Assets.xcassets"));
    app->engine->setImageInputCollectionType(gw::CollectionType::single);
    app->engine->setResizeType(ConversionOutputType::asset);
    EXPECT_TRUE(c->assetSizePanel()->isVisible());
    EXPECT_FALSE(c->appIconlayerEditingPanel()->isVisible());
    create();
    ASSERT_TRUE(notifications.waitForNotify(2));
    const auto body = notifications.notifyCalls().back().body;
    EXPECT_EQ(body.rfind(app->engine->selectedImageInputs().at(0)->imageName() + " ", 0), 0u) << body;
}

TEST_F(MainWindowEndToEnd, ALayerFolderDroppedOnTheListWritesTheCommandLinesCatalog) {
    // Three layers whose names give their order, the first the front one.
    const auto stack = dir_.path() / "stack";
    gwtest::ui::writeSolidPng(stack / "2-middle.png", 600, 360, 0x20E020);
    gwtest::ui::writeSolidPng(stack / "3-back.png", 800, 480, 0x2020E0);
    gwtest::ui::writeSolidPng(stack / "1-front.png", 400, 240, 0xE02020);
    shortcut(Qt::Key_4);
    ASSERT_EQ(app->engine->resizeType(), ConversionOutputType::tvOSIcon);
    app->engine->setImageInputCollectionType(gw::CollectionType::variants);
    drop(*c->multipleSizesCollectionView(), {stack});
    ASSERT_TRUE(waitFor([&] { return app->engine->imageInputs().size() == 3; }));
    // The layer editor lists them front to back, each row named for a screen reader.
    const auto& editor = *c->appIconLayerEditingViewController();
    ASSERT_TRUE(waitFor([&] { return editor.collectionView->itemCount() == 3; }));
    std::vector<std::string> rows;
    for (std::size_t i = 0; i < 3; ++i) rows.push_back(editor.collectionView->itemAt(i)->accessibleName().toStdString());
    EXPECT_EQ(rows, (std::vector<std::string>{"1-front, layer 1 of 3", "2-middle, layer 2 of 3", "3-back, layer 3 of 3"}));

    const auto out = dir_.path() / "Stack";
    chooseOutputFolder(out);
    create();
    const auto expected = filesBelow(commandLineCatalog(
        {"-inputPath", stack.string(), "-assetType", "tvOSIcon", "-collectionType", "variants"}, "stack"));
    ASSERT_FALSE(expected.empty());
    const auto made = filesBelow(out / "Assets.xcassets");
    EXPECT_EQ(names(made), names(expected));
    for (const auto& [name, bytes] : expected) {
        EXPECT_TRUE(made.count(name) && made.at(name) == bytes) << name << " differs from the command line's";
    }
}

TEST_F(MainWindowEndToEnd, AFailedFolderShowsOneSheetWhileTheOthersNotify) {
    // Three folder results of one run, as the engine reports them from its workers.
    const auto catalog = dir_.path() / "Batch.xcassets";
    fs::create_directories(catalog);
    auto result = [&](const std::string& name) {
        auto input = gwtest::engine::picture(64, 64, name);
        gw::ImageInputCollection collection{{input}, gw::CollectionType::batch};
        return gw::GlyphwrightResult::success({gw::FolderDefinition{}, collection, folderURL(catalog),
                                               ConversionOutputType::asset});
    };
    const std::vector<gw::GlyphwrightResult> results = {
        result("one"), gw::GlyphwrightResult::failure(std::make_exception_ptr(std::runtime_error("disk full"))),
        result("three")};
    c->glyphwrightDidStartCreating(*app->engine);
    std::thread worker([&] {
        for (const auto& r : results) c->glyphwrightDidFinishFolder(*app->engine, r);
    });
    worker.join();
    // Each result hops to the main queue on its own.
    ASSERT_TRUE(waitFor([&] { return notifications.notifyCalls().size() >= 2 && c->currentFailureSheet(); }));
    MainLoop::drain();
    EXPECT_EQ(c->currentFailureSheet()->text().toStdString(), "Conversion Failed");
    EXPECT_EQ(c->currentFailureSheet()->informativeText().toStdString(), "disk full");
    EXPECT_EQ(c->pendingFailureSheetCount(), 0u);
    const auto calls = notifications.notifyCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].body, "one " + gw::ConversionOutputTypes::displayName(ConversionOutputType::asset));
    EXPECT_EQ(calls[1].body, "three " + gw::ConversionOutputTypes::displayName(ConversionOutputType::asset));
    EXPECT_EQ(calls[0].summary, "Asset catalog updated");
    c->currentFailureSheet()->close();
}

// A run whose pictures cannot be written (the output folder is full) is told with the
// reason the command line gives, and the help panel, which says that the catalog is ready,
// does not open after it.
TEST_F(MainWindowEndToEnd, AFailedRunSaysWhyAndOpensNoHelpSayingTheCatalogIsReady) {
    pf::UserDefaults::standard().setBool(true, "ShowInstructions");
    const auto out = dir_.path() / "Full";
    fs::create_directories(out);
    if (::mount("tmpfs", out.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no file system of 64 KB could be mounted here (" << std::strerror(errno) << ")";
    }
    const struct Unmount {
        const fs::path& at;
        ~Unmount() {
            if (::umount2(at.c_str(), 0) != 0) ::umount2(at.c_str(), MNT_DETACH);
        }
    } unmount{out};
    // Noise, which no encoding makes small.
    const auto picture = dir_.path() / "art" / "Noise.png";
    fs::create_directories(picture.parent_path());
    gwtest::writeFile(picture, gwtest::photoLikePng(1024, 3, 8));
    ASSERT_NO_FATAL_FAILURE(dropOnWell(picture));
    shortcut(Qt::Key_1);
    chooseOutputFolder(out);

    create();
    ASSERT_TRUE(waitFor([&] { return c->currentFailureSheet() && c->currentFailureSheet()->isVisible(); }));
    const auto told = c->currentFailureSheet()->informativeText().toStdString();
    EXPECT_NE(told.find(picture.string()), std::string::npos) << told;
    EXPECT_NE(told.find("No space left on device"), std::string::npos) << told;
    MainLoop::drain();
    EXPECT_FALSE(c->helpPanel()->isVisible());
    c->currentFailureSheet()->close();
}

TEST_F(MainWindowEndToEnd, ACancelledCatalogPromptIsSilentAndHidesTheProgress) {
    ASSERT_NO_FATAL_FAILURE(dropOnWell(png("Icon.png", 0x445566)));
    const auto out = dir_.path() / "Again";
    fs::create_directories(out);
    app->engine->setOutputDirectory(folderURL(out));
    create();
    // The same output again: the catalog prompt comes; Escape cancels it.
    auto answer = gwtest::gui::answerNextModal([](QWidget& modal) { QTest::keyClick(&modal, Qt::Key_Escape); });
    c->createAssetCatalogButton()->click();
    EXPECT_TRUE(answer->answered());
    EXPECT_FALSE(c->activityIndicator()->isVisible());
    for (auto* box : app->window->findChildren<QMessageBox*>()) EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(createControlsEnabled(), std::vector<bool>(3, true));
}

TEST_F(MainWindowEndToEnd, AReplacedCatalogOrSetGoesToTheTrashAndTheUserIsTold) {
    ASSERT_NO_FATAL_FAILURE(dropOnWell(png("Icon.png", 0x445566)));
    const auto out = dir_.path() / "Replaced";
    fs::create_directories(out);
    app->engine->setOutputDirectory(folderURL(out));
    create();
    // What the user made in the catalog since: a set and a file of their own.
    const auto mine = out / "Assets.xcassets" / "Mine.imageset";
    fs::create_directories(mine);
    { std::ofstream(mine / "notes.txt") << "kept"; }
    pf::UserDefaults::standard().setInteger(static_cast<std::int64_t>(gw::FileAlreadyExistsAction::overwrite),
                                            "CatalogExistsAction");
    pa::UserNotificationCenter::defaultCenter().reset();
    pa::UserNotificationCenter::defaultCenter().setDelegate(app->delegate);
    create();

    EXPECT_FALSE(fs::exists(mine));
    const auto trash = gwtest::engine::engineXdgRoot() / "data" / "Trash" / "files";
    std::vector<fs::path> kept;
    if (fs::exists(trash)) {
        for (const auto& entry : fs::recursive_directory_iterator(trash)) {
            if (entry.path().filename() == "notes.txt") kept.push_back(entry.path());
        }
    }
    ASSERT_EQ(kept.size(), 1u) << "the replaced catalog is not in the Trash";
    std::ifstream notes(kept[0]);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(notes), {}), "kept");
    pa::UserNotificationCenter::defaultCenter().waitUntilDelivered();
    const auto delivered = pa::UserNotificationCenter::defaultCenter().deliveredNotifications();
    const auto told = std::find_if(delivered.begin(), delivered.end(), [](const auto& n) {
        return n.title == "The replaced catalog is in the Trash";
    });
    ASSERT_NE(told, delivered.end());
    EXPECT_NE(told->subtitle.find("Trash"), std::string::npos) << told->subtitle;

    // The catalog kept, its icon set replaced: the set goes to the Trash with what the
    // user added to it, and the notification says where.
    const auto iconSet = out / "Assets.xcassets" / "AppIcon.appiconset";
    { std::ofstream(iconSet / "notes.txt") << "mine too"; }
    pf::UserDefaults::standard().setInteger(static_cast<std::int64_t>(gw::FileAlreadyExistsAction::append),
                                            "CatalogExistsAction");
    pf::UserDefaults::standard().setInteger(static_cast<std::int64_t>(gw::FileAlreadyExistsAction::overwrite),
                                            "CatalogContentExistsAction");
    pa::UserNotificationCenter::defaultCenter().reset();
    pa::UserNotificationCenter::defaultCenter().setDelegate(app->delegate);
    create();
    EXPECT_FALSE(fs::exists(iconSet / "notes.txt"));
    EXPECT_TRUE(fs::exists(iconSet / "Contents.json"));
    const auto setTold = waitFor([&] {
        const auto now = pa::UserNotificationCenter::defaultCenter().deliveredNotifications();
        return std::any_of(now.begin(), now.end(),
                           [](const auto& n) { return n.title == "The replaced asset is in the Trash"; });
    });
    ASSERT_TRUE(setTold);
    const auto afterSet = pa::UserNotificationCenter::defaultCenter().deliveredNotifications();
    const auto setNotice = std::find_if(afterSet.begin(), afterSet.end(), [](const auto& n) {
        return n.title == "The replaced asset is in the Trash";
    });
    const std::string start = "The replaced " + iconSet.string() + " was moved to the Trash: ";
    ASSERT_EQ(setNotice->subtitle.rfind(start, 0), 0u) << setNotice->subtitle;
    const fs::path keptSet = setNotice->subtitle.substr(start.size());
    EXPECT_EQ(keptSet.parent_path(), trash);
    EXPECT_EQ(gwtest::readFile(keptSet / "notes.txt"), "mine too");
    fs::remove_all(gwtest::engine::engineXdgRoot() / "data" / "Trash");
}

}  // namespace

namespace {

bool outlined(QWidget* thumbnail) {
    const QImage shot = thumbnail->grab().toImage();
    return shot.pixelColor(1, shot.height() / 2) == thumbnail->palette().color(QPalette::Highlight);
}

TEST_F(MainWindowEndToEnd, TheTouchBarStripOpensShowsAndSelectsThePictures) {
    auto* strip = app->touchBarStrip.data();
    ASSERT_NE(strip, nullptr);
    const auto id = [](const char* suffix) { return gw::MainViewViewController::touchBarIdentifier(suffix); };
    const auto& bar = *strip->bar();
    EXPECT_EQ(bar.customizationIdentifier, id(".main.window"));
    EXPECT_EQ(bar.defaultItemIdentifiers, (std::vector<std::string>{id(".open"), id(".images"), id(".convert")}));
    EXPECT_EQ(bar.customizationAllowedItemIdentifiers, bar.defaultItemIdentifiers);
    EXPECT_EQ(bar.principalItemIdentifier, id(".convert"));
    EXPECT_EQ(strip->buttonFor(id(".open"))->text().toStdString(), "Open Images");
    EXPECT_EQ(strip->buttonFor(id(".convert"))->text().toStdString(), "Create Asset Catalog");
    EXPECT_EQ(strip->buttonFor(id(".selectAll")), nullptr);

    auto* scrubber = strip->scrubberFor(id(".images"));
    ASSERT_NE(scrubber, nullptr);
    EXPECT_EQ(scrubber->thumbnailCount(), 0u);
    app->engine->setImageInputCollectionType(gw::CollectionType::variants);
    drop(*c->multipleSizesCollectionView(), {png("c.png", 0x0000FF, 64), png("b.png", 0x00FF00, 64),
                                             png("a.png", 0xFF0000, 64)});
    ASSERT_TRUE(waitFor([&] { return scrubber->thumbnailCount() == 3; }));
    const auto& controller = app->engine->collectionViewArrayController();
    struct Case {
        std::set<std::size_t> selected;
        std::vector<bool> outlines;
        bool selectAllHidden;
    };
    const std::vector<Case> cases = {
        {{1}, {false, true, false}, false},
        {{0, 2}, {false, false, false}, false},
        {{0, 1, 2}, {false, false, false}, true},
    };
    for (const auto& item : cases) {
        controller->setSelectionIndexes(item.selected);
        MainLoop::drain();
        QApplication::processEvents();
        std::vector<bool> outlines;
        for (std::size_t i = 0; i < 3; ++i) outlines.push_back(outlined(scrubber->thumbnail(i)));
        EXPECT_EQ(outlines, item.outlines) << item.selected.size() << " selected";
        EXPECT_EQ(selectAllHidden(), item.selectAllHidden);
    }
    // Single hides select-all whatever is selected.
    app->engine->setImageInputCollectionType(gw::CollectionType::single);
    controller->setSelectionIndexes({2});
    EXPECT_TRUE(selectAllHidden());

    // A click on a thumbnail selects that picture in the engine.
    QTest::mouseClick(scrubber->thumbnail(0), Qt::LeftButton);
    EXPECT_EQ(controller->selectionIndexes(), std::set<std::size_t>{0});
    EXPECT_EQ(app->engine->selectedImageInputs().at(0)->imageName(), "a");
    EXPECT_EQ(gwtest::ui::centreColour(c->imageWell()->image()), 0xFF0000u);

    // The strip's create button follows the window's; "Open Images" opens the open sheet.
    fs::create_directories(dir_.path() / "Images.xcassets");
    app->engine->setOutputDirectory(folderURL(dir_.path() / "Images.xcassets"));
    EXPECT_EQ(strip->buttonFor(id(".convert"))->text().toStdString(), "Update Asset Catalog");
    strip->buttonFor(id(".open"))->click();
    ASSERT_TRUE(waitFor([&] { return visibleFileDialog() != nullptr; }));
    visibleFileDialog()->reject();
}

TEST_F(MainWindowEndToEnd, TheMenusOfferPreferencesAndTheTouchBarCustomization) {
    const auto& menu = *app->mainMenu;
    const auto editMenu = menu.itemWithTitle("Edit")->submenu();
    const auto preferences = editMenu->itemWithTitle("Preferences…");
    ASSERT_NE(preferences, nullptr);
    EXPECT_EQ(preferences->keyEquivalent(), ",");
    const auto view = menu.itemWithTitle("View");
    ASSERT_NE(view, nullptr);
    const auto customize = view->submenu()->itemWithTitle("Customize Touch Bar…");
    ASSERT_NE(customize, nullptr);
    EXPECT_TRUE(customize->isEnabled());
    EXPECT_TRUE(customize->performAction());
    QDialog* picker = nullptr;
    ASSERT_TRUE(waitFor([&] {
        for (auto* dialog : app->window->findChildren<QDialog*>()) {
            if (dialog->isVisible() && dialog->windowTitle() == "Customize Touch Bar…") picker = dialog;
        }
        return picker != nullptr;
    }));
    picker->reject();
    EXPECT_TRUE(preferences->performAction());
    ASSERT_TRUE(waitFor([&] {
        for (auto* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == "Preferences") return true;
        }
        return false;
    }));
    // The create item stands in the File menu with its shortcut.
    EXPECT_EQ(c->createAssetCatalogMenuItem()->keyEquivalent(), "b");
}

}  // namespace
