// A walk through every window and panel of the built window program, each opened once the
// way a user opens it, on a desktop of the test's own (Xvfb, a private bus, the
// accessibility bus). Each window is photographed into build/screenshots/<row>.png and
// checked three ways: by its size (usable, on the screen, not a strip), by its pixels
// (drawn: several colours and edges, not an empty box) and by its widgets as a screen
// reader finds them (the controls the window must offer, each with a name; in the panels
// of our own making, each with a tooltip as well).
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"
#include "desktop_walk.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::x11::AccessibilityBus;
using gwtest::x11::AccessibleElement;
using gwtest::x11::DesktopSession;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::luminance;
using gwtest::x11::Rgb;
using gwtest::x11::waitUntil;

using gwtest::x11::Walk;
// The Contents.json of a catalog or a folder inside one, as the writer makes it.
constexpr const char* kCatalogInfo = "{\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n";
// The picture handed over: one colour, so its copies are easy to find on a screenshot.
constexpr Rgb kPictureColour{0xD0, 0x20, 0x80};
// The X server's screen.
constexpr int kScreenWidth = 1280, kScreenHeight = 1024;

// A control the window must show: its role as a screen reader reports it, its name (or
// the start of it) and, for a text field, what it holds.
struct Control {
    std::string role;
    std::string name;
    std::string text = {};
    bool namePrefix = false;
    bool tooltip = false;  // must have one
};

// The roles of what a user acts on; each must say what it is.
const std::set<std::string> kControlRoles = {"push button", "check box",  "radio button", "toggle button",
                                             "combo box",   "text",       "slider",       "spin button"};

struct Row {
    const char* name;  // of the case and of its screenshot
    // How the user brings the window up; gives its X window (none when it did not come).
    std::function<std::optional<std::string>(Walk&)> open;
    std::vector<Control> controls;
    // A window of our own making: every control has a tooltip too.
    bool ownPanel = false;
    // Areas of the picture's colour the window shows at least (the picture and its copies).
    int pictureCopies = 0;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }


// --- what a window's pixels show --------------------------------------------------------

struct PixelFacts {
    int colours = 0;      // distinct colours, 4 bits a channel
    double edges = 0;     // share of pixels that differ sharply from their right neighbour
};

PixelFacts pixelFacts(const gwtest::x11::Screenshot& shot) {
    std::set<int> colours;
    long sharp = 0, total = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x + 1 < shot.width(); ++x) {
            const Rgb c = shot.at(x, y);
            colours.insert((c.r >> 4) << 8 | (c.g >> 4) << 4 | (c.b >> 4));
            if (std::abs(luminance(c) - luminance(shot.at(x + 1, y))) >= 48) ++sharp;
            ++total;
        }
    }
    return {static_cast<int>(colours.size()), total ? static_cast<double>(sharp) / total : 0};
}

// What a screen reader finds showing in a window, one element a line (for a failure).
std::string showingElements(const AccessibleElement& window) {
    std::ostringstream out;
    for (const auto* e : window.findAll([](const AccessibleElement& e) { return e.showing; })) {
        out << "  " << e->role << " \"" << e->name << "\"";
        if (!e->text.empty()) out << " = " << e->text;
        if (!e->description.empty()) out << " (" << e->description << ")";
        out << "\n";
    }
    return out.str();
}

// --- the rows ----------------------------------------------------------------------------

std::vector<Control> assetSizeControls() {
    std::vector<Control> controls = {{"label", "Preset"},
                                     {"combo box", "tvOS App Icon (400x240)"},
                                     {"text", "Width", "400"},
                                     {"text", "Height", "240"},         {"slider", "Padding"},
                                     {"push button", "Increase Padding"}, {"push button", "Decrease Padding"}};
    for (const char* idiom : {"universal", "iphone", "ipad", "mac", "tv", "watch"}) controls.push_back({"check box", idiom});
    return controls;
}

std::vector<Control> layerEditorControls(const char* width, const char* height, const char* x, const char* y) {
    return {{"text", "Width", width},
            {"text", "Height", height},
            {"text", "X", x},
            {"text", "Y", y},
            {"push button", "Increase Width"},
            {"push button", "Decrease Y"},
            {"check box", "Keep aspect ratio"},
            {"check box", "Centred"},
            {"push button", "Close"},
            {"label", "pic"}};
}

// The layer editor of an output type, with the picture's layer chosen in its list.
std::function<std::optional<std::string>(Walk&)> openLayerEditor(std::string keys) {
    return [keys](Walk& walk) -> std::optional<std::string> {
        auto window = walk.keysBringUp(keys);
        if (!window || !walk.raise(*window) || !walk.click("label", "pic")) return std::nullopt;
        return window;
    };
}

// An output folder holding a catalog; with `assetSet`, the catalog also holds the set the
// picture becomes.
fs::path outputFolderWithCatalog(Walk& walk, bool assetSet) {
    const auto out = walk.session().root() / "out";
    const auto catalog = out / "Assets.xcassets";
    fs::create_directories(catalog);
    gwtest::writeFile(catalog / "Contents.json", kCatalogInfo);
    if (assetSet) {
        // An asset counts as there once it holds a picture.
        fs::create_directories(catalog / "pic.imageset");
        fs::copy_file(walk.picture(), catalog / "pic.imageset/pic.png");
        gwtest::writeFile(catalog / "pic.imageset/Contents.json",
                          "{\n  \"images\" : [ ],\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n");
    }
    return out;
}

const Row kRows[] = {
    {"main-window",
     [](Walk& walk) -> std::optional<std::string> { return walk.mainWindow(); },
     {{"push button", "Help", "", false, true},
      {"push button", "Preferences", "", false, true},
      {"push button", "Output Folder…"},
      {"check box", "Single Image"},
      {"combo box", "iOS App Icons"}},
     false,
     1},
    {"asset-size-panel",
     [](Walk& walk) -> std::optional<std::string> {
         auto panel = walk.keysBringUp("ctrl+alt+4");
         if (!panel || !walk.raise(*panel)) return std::nullopt;
         // The tvOS preset, chosen from the pop-up by typing its name.
         // A pop-up's name is the entry it shows; its label names it to a screen reader. Typed
         // letters pick the entry only while they come quickly enough: a slow machine may
         // need a second try.
         const auto presets = [](const AccessibleElement& e) {
             return e.role == "combo box" && e.description.rfind("Common asset sizes", 0) == 0;
         };
         const auto chosen = [&] {
             const auto found = walk.element(presets);
             return found && found->name == "tvOS App Icon (400x240)";
         };
         for (int attempt = 0; attempt < 3 && !chosen(); ++attempt) {
             const auto before = walk.windows();
             if (!walk.click(presets) || !walk.newWindow(before) || !walk.typeIntoPopUp("tvOS App Icon"))
                 return std::nullopt;
             waitUntil(chosen, std::chrono::seconds(30));
         }
         return panel;
     },
     assetSizeControls(),
     true,
     1},
    {"layer-editor-app-icon", openLayerEditor("ctrl+4"), layerEditorControls("400", "240", "200", "120"), true, 2},
    {"layer-editor-leaderboard", openLayerEditor("ctrl+8"), layerEditorControls("659", "371", "329.5", "185.5"), true,
     2},
    {"splash-previews",
     [](Walk& walk) { return walk.keysBringUp("ctrl+2"); },
     {{"check box", "Stretch"},
      {"check box", "Fill"},
      {"check box", "Fit"},
      {"check box", "Black"},
      {"check box", "White"},
      {"push button", "Background"},
      {"check box", "Background from corner pixel"},
      {"slider", "Zoom"},
      {"text", "Zoom Amount", "100%"},
      {"push button", "Reset Zoom"}},
     true,
     5},
    {"help-panel",
     [](Walk& walk) { return walk.clickBringsUp("push button", "Help"); },
     {{"label", "Your asset catalog is ready.", "", true}}},
    {"preferences",
     [](Walk& walk) { return walk.keysBringUp("ctrl+comma"); },
     {{"check box", "Round Corners"},
      {"check box", "Padding"},
      {"check box", "Shadow"},
      {"label", "To get started, enter into Terminal", "", true}},
     false,
     0},
    {"about",
     [](Walk& walk) { return walk.chooseFromMenu("Help", "About Glyphwright"); },
     {{"label", "Glyphwright", "", true}}},
    {"touch-bar-customisation",
     [](Walk& walk) { return walk.chooseFromMenu("View", "Customize Touch Bar"); },
     {{"check box", "Open Images"}, {"check box", "Pictures"}, {"push button", "OK"}, {"push button", "Cancel"}}},
    {"output-folder-dialog",
     [](Walk& walk) { return walk.clickBringsUp("push button", "Output Folder…"); },
     {{"check box", "Look for asset catalogs in subfolders"}, {"push button", "Select"}}},
    {"multiple-catalogs-panel",
     [](Walk& walk) {
         const auto folder = walk.session().root() / "projects";
         for (const char* app : {"Alpha", "Beta"}) {
             fs::create_directories(folder / app / "Assets.xcassets");
             gwtest::writeFile(folder / app / "Assets.xcassets/Contents.json", kCatalogInfo);
         }
         return walk.chooseOutputFolder(folder);
     },
     {{"push button", "Continue"}, {"push button", "New Catalog"}, {"push button", "Cancel"}}},
    {"catalog-exists-prompt",
     [](Walk& walk) { return walk.keysBringUp("ctrl+b"); },
     {{"radio button", "Add to the existing asset catalog", "", true},
      {"radio button", "Overwrite the existing asset catalog", "", true},
      {"check box", "Always do this without asking"},
      {"push button", "Continue"},
      {"push button", "Cancel"}}},
    {"asset-exists-prompt",
     [](Walk& walk) -> std::optional<std::string> {
         const auto catalogPrompt = walk.keysBringUp("ctrl+b");
         if (!catalogPrompt) return std::nullopt;
         // "Add to" is chosen as the prompt opens; the set inside is asked about next.
         const auto before = walk.windows();
         if (!walk.session().typeKeys(*catalogPrompt, "Return")) return std::nullopt;
         return walk.newWindow(before);
     },
     {{"radio button", "Add to the existing asset", "", true},
      {"radio button", "Create a new asset named", "", true},
      {"push button", "Continue"},
      {"push button", "Cancel"}}},
};

class ScreenshotWalk : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ready()) << session_.failure();
        ASSERT_TRUE(session_.startAccessibilityBus()) << "the accessibility bus (at-spi2-core) did not start";
        ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "512x512", "xc:#D02080", "PNG24:" + walk_.picture().string()}));
        // Nothing opens by itself over the walk: no help panel after a conversion, no
        // file manager; every type starts at iOS icons.
        const std::string row = GetParam().name;
        auto settings = walk_.settings();
        settings.setBool(false, "ShowInstructions");
        settings.setBool(false, "OpenFinder");
        settings.setBool(true, "scanSubfoldersForAssetCatalogs");
        settings.setInteger(row == "asset-exists-prompt" ? 2 : 0, "IconType");  // image sets, else iOS icons
        // The prompts ask about an output folder the program restores at launch (the most
        // recent one) and the catalog in it.
        if (row == "catalog-exists-prompt" || row == "asset-exists-prompt") {
            const auto out = outputFolderWithCatalog(walk_, row == "asset-exists-prompt");
            settings.setObject(pf::Value(pf::Array{pf::Value(pf::bookmarks::create(pf::URL::fileURL(out, true)))}),
                               "recentCatalogPaths");
        }
    }

    DesktopSession session_;
    Walk walk_{session_};
};

TEST_P(ScreenshotWalk, TheWindowShowsItsControls) {
    const Row& row = GetParam();
    ASSERT_TRUE(walk_.launch()) << "the main window did not come up\n" << session_.log(walk_.app());
    const auto window = row.open(walk_);
    ASSERT_TRUE(window) << "the window did not open\n" << session_.log(walk_.app());

    // Its size: usable, whole on the screen, not a strip.
    const auto frame = session_.geometry(*window);
    ASSERT_TRUE(frame);
    EXPECT_GE(frame->width, 150);
    EXPECT_GE(frame->height, 100);
    EXPECT_LE(std::max(frame->width, frame->height), 6 * std::min(frame->width, frame->height))
        << frame->width << " x " << frame->height;
    // Where it opens is the desktop's business; that it can be seen is ours.
    const int seenWidth = std::max(0, std::min(frame->x + frame->width, kScreenWidth) - std::max(frame->x, 0));
    const int seenHeight = std::max(0, std::min(frame->y + frame->height, kScreenHeight) - std::max(frame->y, 0));
    EXPECT_GE(static_cast<long>(seenWidth) * seenHeight * 10, static_cast<long>(frame->width) * frame->height * 9)
        << "mostly off the screen: " << frame->x << "," << frame->y << " " << frame->width << " x " << frame->height;

    // Its widgets, as a screen reader finds them (the tree follows the window with a lag).
    std::optional<AccessibleElement> tree;
    std::vector<std::string> missing;
    waitUntil(
        [&] {
            tree = walk_.accessibleWindow(*window);
            missing.clear();
            for (const auto& c : row.controls) {
                const auto* found = tree ? tree->find([&](const AccessibleElement& e) {
                    return e.showing && e.role == c.role &&
                           (c.namePrefix ? e.name.rfind(c.name, 0) == 0 : e.name == c.name) &&
                           (c.text.empty() || e.text == c.text) && (!c.tooltip || !e.description.empty());
                }) : nullptr;
                if (!found)
                    missing.push_back(c.role + " \"" + c.name + "\"" + (c.text.empty() ? "" : " = " + c.text) +
                                      (c.tooltip ? " with a tooltip" : ""));
            }
            return tree && missing.empty();
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(tree) << "a screen reader finds no such window";
    for (const auto& what : missing) ADD_FAILURE() << "missing: " << what;
    if (!missing.empty()) std::cerr << "The window shows:\n" << showingElements(*tree);
    const auto controls = tree->findAll([](const AccessibleElement& e) {
        return e.showing && e.extents.width > 0 && kControlRoles.count(e.role) > 0;
    });
    for (const auto* c : controls) {
        EXPECT_FALSE(c->name.empty()) << "a " << c->role << " without a name at " << c->extents.x << ","
                                      << c->extents.y;
        if (row.ownPanel) {
            EXPECT_FALSE(c->description.empty()) << "no tooltip on " << c->role << " \"" << c->name << "\"";
        }
    }

    // Its pixels: raised over the others and photographed.
    walk_.raise(*window);
    std::optional<gwtest::x11::Screenshot> shot;
    PixelFacts facts;
    std::vector<gwtest::x11::ColourRegion> copies;
    const bool drawn = waitUntil(
        [&] {
            shot = gwtest::x11::Screenshot::ofWindow(*window, std::string("walk-") + row.name);
            if (!shot) return false;
            facts = pixelFacts(*shot);
            copies = gwtest::x11::regionsOfColour(*shot, kPictureColour, {0, 0, shot->width(), shot->height()}, 200);
            return facts.colours >= 6 && facts.edges >= 0.004 && static_cast<int>(copies.size()) >= row.pictureCopies;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(shot);
    EXPECT_TRUE(drawn) << facts.colours << " colours, " << facts.edges * 100 << " % edges, " << copies.size()
                       << " copies of the picture";
    EXPECT_TRUE(shot->saveAs(fs::path(GW_BINARY_DIR) / "screenshots" / (std::string(row.name) + ".png")));
    shot->keepIfFailed();
}

INSTANTIATE_TEST_SUITE_P(EveryWindow, ScreenshotWalk, ::testing::ValuesIn(kRows), gwtest::x11::rowCaseName<Row>);

}  // namespace
