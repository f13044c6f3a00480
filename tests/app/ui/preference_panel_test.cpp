// The preferences window on a real QApplication with settings of its own: the segments
// follow the six icon-effect settings both ways, and the switch grants and withdraws the
// command line through the real folder panel, as the built command line then finds it.
#include "app/ui/preference_panel.hpp"

#include "app/ui/root_folder_chooser.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"
#include "ui_test_support.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::gui::waitFor;
using platform::dispatch::MainLoop;

std::vector<bool> segments(const platform::appkit::qt::SegmentedControl& control) {
    std::vector<bool> result;
    for (int i = 0; i < control.segmentCount(); ++i) result.push_back(control.isSelectedForSegment(i));
    return result;
}

QFileDialog* visiblePanel() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (dialog && dialog->isVisible()) return dialog;
    }
    return nullptr;
}

TEST(PreferencePanel, SegmentsFollowTheSettingsBothWaysAndStopWhenTheirControllerIsGone) {
    auto& defaults = pf::UserDefaults::standard();
    defaults.registerDefaults(gw::registeredDefaults());
    for (const auto key : gw::allUserDefaultsKeys()) defaults.removeObject(gw::rawValue(key));
    auto controller = std::make_shared<gw::CommandLineEnabledController>();
    std::unique_ptr<gw::PreferencePanel> panel(gw::PreferencePanel::make(controller));
    auto& catalina = *panel->catalinaIconEffectSegmentedControl();
    auto& classic = *panel->macOSIconEffectSegmentedControl();
    MainLoop::drain();
    EXPECT_EQ(segments(catalina), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(segments(classic), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(catalina.label(1), "Padding");
    EXPECT_EQ(classic.toolTip(2), "Draw a drop shadow beneath the icon.");

    // A click on one segment writes the three settings of its control from the segments.
    classic.segmentButton(2)->click();
    MainLoop::drain();
    EXPECT_TRUE(defaults.boolForKey("macIconDropShadow"));
    EXPECT_FALSE(defaults.boolForKey("macIconRoundCorners"));
    EXPECT_FALSE(defaults.boolForKey("macIconPadding"));
    EXPECT_FALSE(defaults.persistentDomain().contains("catalinaMacIconPadding"));
    EXPECT_EQ(segments(classic), (std::vector<bool>{false, false, true}));

    // Written elsewhere: the matching segment follows on the main queue.
    defaults.setBool(false, "catalinaMacIconPadding");
    EXPECT_TRUE(waitFor([&] { return segments(catalina) == std::vector<bool>{true, false, true}; }));

    // The controls outlive their controllers here: after the panel lets go of them, a
    // change reaches nothing (no update runs on a destroyed controller).
    panel->setCatalinaIconEffectSegmentedControl(nullptr);
    auto* spare = new platform::appkit::qt::SegmentedControl(panel.get());
    spare->setTrackingMode(platform::appkit::qt::SegmentedControl::TrackingMode::selectAny);
    {
        gw::IconEffectSegmentedControlController gone(spare, {{gw::IconEffect::pad, gw::UserDefaultsKey::macIconPadding}});
        defaults.setBool(true, "macIconPadding");
    }
    MainLoop::drain();
    EXPECT_FALSE(spare->isSelectedForSegment(1));
    EXPECT_EQ(segments(classic), (std::vector<bool>{false, true, true}));
}

const std::string kSandboxText =
    "Due to sandboxing restrictions you need to enabled the command line interface in the app before it's "
    "available for use. Please open the app and enable this in the app's preferences.";

// A child run in `folder`, with its XDG folders below folder/xdg and its output kept there.
gwtest::ProgramOptions runIn(const fs::path& folder) {
    gwtest::ProgramOptions options;
    options.workingDirectory = folder;
    options.xdgRoot = folder / "xdg";
    options.outFile = folder / "stdout.txt";
    options.errFile = folder / "stderr.txt";
    return options;
}

// The built command line or grant tool as a child process that reads and writes the
// settings this process uses: its XDG configuration folder is ours.
class SharedSettingsRun {
public:
    SharedSettingsRun() {
        fs::create_directories(dir_.path() / "xdg");
        fs::create_directory_symlink(std::getenv("XDG_CONFIG_HOME"), dir_.path() / "xdg/XDG_CONFIG_HOME");
    }

    gwtest::ProgramRun operator()(const std::string& program, const std::vector<std::string>& arguments) const {
        return gwtest::runProgram(program, arguments, runIn(dir_.path()));
    }

    const fs::path& folder() const { return dir_.path(); }

private:
    gwtest::TempDir dir_;
};

// The stored "rootBookmark" bytes that gw-grant-root writes for `folder` into settings of its own.
std::optional<pf::Data> bookmarkGrantedByTheTool(const fs::path& folder) {
    gwtest::TempDir scratch;
    const auto run = gwtest::runProgram(GW_GRANT_ROOT_PATH, {folder.string()}, runIn(scratch.path()));
    EXPECT_EQ(run.status, 0) << run.err;
    std::optional<fs::path> store;
    for (const auto& entry : fs::recursive_directory_iterator(scratch.path() / "xdg/XDG_CONFIG_HOME")) {
        if (entry.path().extension() == ".plist") store = entry.path();
    }
    if (!store) return std::nullopt;
    pf::UserDefaults written(*store);
    return written.dataForKey(gw::CommandLineEnabledController::rootBookmarkKey);
}

TEST(PreferencePanel, TheSwitchGrantsThroughTheFolderPanelAndWithdrawsAndTheHintNamesTheCommand) {
    gwtest::TempDir dir;
    const auto root = dir.path() / "root";
    fs::create_directories(root);
    gw::installRootFolderChooser();
    auto controller = std::make_shared<gw::CommandLineEnabledController>();
    controller->disableCommandLineInterface();
    std::unique_ptr<gw::PreferencePanel> panel(gw::PreferencePanel::make(controller));
    auto* button = panel->enableCommandLineInterfaceButton();

    const auto command = gw::commandLineExecutablePath();
    EXPECT_TRUE(command.is_absolute());
    EXPECT_EQ(command.filename(), "glyphwright");
    EXPECT_EQ(panel->commandLineLabel()->text().toStdString(),
              "To get started, enter into Terminal '" + command.string() + " -help'");
    EXPECT_EQ(gw::terminalHint("/opt/My Tool/bin/glyphwright"),
              "To get started, enter into Terminal '/opt/My\\ Tool/bin/glyphwright -help'");

    // Before the grant the command line refuses with the sandbox text.
    const SharedSettingsRun child;
    gwtest::ui::writeSolidPng(root / "icon.png", 1024, 1024, 0x3a7bd5);
    const std::vector<std::string> convert = {"-inputPath", (root / "icon.png").string(), "-outputPath",
                                              (root / "out").string(), "-assetType", "iOSIcon"};
    const auto expectRefused = [&] {
        const auto refused = child(GW_GLYPHWRIGHT_PATH, convert);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find(kSandboxText), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(root / "out"));
    };
    expectRefused();

    button->click();
    EXPECT_FALSE(button->isChecked());  // on only once a folder is granted
    ASSERT_TRUE(waitFor([] { return visiblePanel() != nullptr; }));
    auto* folderPanel = visiblePanel();
    auto* name = folderPanel->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    folderPanel->setDirectory(QString::fromStdString(root.parent_path().string()));
    name->setText(QString::fromStdString(root.filename().string()));
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return controller->isCommandLineInterfaceEnabled(); }));
    EXPECT_TRUE(waitFor([&] { return button->isChecked(); }));

    // Granted through the panel exactly as the grant tool grants: the command line converts.
    const auto granted = pf::UserDefaults::standard().dataForKey(gw::CommandLineEnabledController::rootBookmarkKey);
    ASSERT_TRUE(granted.has_value());
    const auto byTheTool = bookmarkGrantedByTheTool(root);
    ASSERT_TRUE(byTheTool.has_value());
    EXPECT_EQ(*granted, *byTheTool);
    const auto converted = child(GW_GLYPHWRIGHT_PATH, convert);
    EXPECT_EQ(converted.status, 0) << converted.err;
    EXPECT_NE(converted.err.find("Conversion Complete"), std::string::npos) << converted.err;
    EXPECT_TRUE(fs::exists(root / "out/Assets.xcassets/AppIcon.appiconset/Contents.json"));

    button->click();
    EXPECT_FALSE(controller->isCommandLineInterfaceEnabled());
    EXPECT_TRUE(waitFor([&] { return !button->isChecked(); }));
    EXPECT_EQ(visiblePanel(), nullptr);

    // Switched off: refused again, nothing new written.
    fs::remove_all(root / "out");
    expectRefused();
}

}  // namespace
