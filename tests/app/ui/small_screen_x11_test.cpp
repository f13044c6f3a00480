// The built window program on a small desktop of the test's own (1024 × 768, Xvfb, openbox,
// a private bus and the accessibility bus), as a user with keyboard and screen reader meets
// it: every window and panel opens whole on the screen, panels beside the main window and
// dialogs over it, titles whole; the menus open with Alt and a letter; the picture well and
// the layer rows have names and the layers can be reordered from the keyboard; Email
// Support without a mail program shows the address; a picture over the limits says why;
// Clear Menu is off while there is nothing to clear.
#include "desktop_walk.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using gwtest::x11::AccessibleElement;
using gwtest::x11::DesktopSession;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::luminance;
using gwtest::x11::waitUntil;
using gwtest::x11::Walk;
using gwtest::x11::WindowGeometry;

constexpr int kScreenWidth = 1024, kScreenHeight = 768;
constexpr const char* kCatalogInfo = "{\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n";

bool intersects(const WindowGeometry& a, const WindowGeometry& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

std::string describe(const WindowGeometry& g) {
    return std::to_string(g.x) + "," + std::to_string(g.y) + " " + std::to_string(g.width) + "×" +
           std::to_string(g.height);
}

class SmallScreen : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ready()) << session_.failure();
        ASSERT_TRUE(session_.startAccessibilityBus()) << "the accessibility bus (at-spi2-core) did not start";
        ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "512x512", "xc:#D02080", "PNG24:" + walk_.picture().string()}));
        // Nothing opens by itself: no help panel after a conversion, no file manager.
        auto settings = walk_.settings();
        settings.setBool(false, "ShowInstructions");
        settings.setBool(false, "OpenFinder");
        settings.setBool(true, "suppressAllPromptsToReview");
        settings.setBool(true, "scanSubfoldersForAssetCatalogs");
        settings.setInteger(0, "IconType");
    }

    // An element of the program that a screen reader finds showing, waited for.
    std::optional<AccessibleElement> waitForElement(const std::function<bool(const AccessibleElement&)>& match,
                                                    std::chrono::milliseconds timeout = kAppearDeadline) {
        std::optional<AccessibleElement> found;
        waitUntil([&] { return (found = walk_.element(match)).has_value(); }, timeout);
        return found;
    }

    // A window's frame as the window manager draws it: the title bar above the client
    // area, borders around it (as wide as the main window's).
    WindowGeometry decorated(const WindowGeometry& client) const {
        const auto frame = gwtest::x11::run(std::chrono::seconds(30), {"xprop", "-id", walk_.mainWindow(), "_NET_FRAME_EXTENTS"});
        int left = 0, right = 0, top = 0, bottom = 0;
        if (frame) std::sscanf(frame->c_str(), "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left, &right, &top, &bottom);
        return {client.x - left, client.y - top, client.width + left + right, client.height + top + bottom};
    }

    // Types keys into whatever window of the program has the keyboard.
    bool typeKeys(const std::string& keys) {
        std::vector<std::string> command{"xdotool", "key", "--delay", "80"};
        std::istringstream each(keys);
        for (std::string key; each >> key;) command.push_back(key);
        return gwtest::x11::run(std::chrono::seconds(30), command).has_value();
    }

    // Keys typed into the main window, then the pop-up menu or window they bring up.
    std::optional<std::string> keysOpen(const std::string& keys) { return walk_.keysBringUp(keys); }

    // A run of the built command line on this desktop (its root granted first): its exit
    // status and what it wrote.
    std::pair<std::optional<int>, std::string> commandLine(const std::vector<std::string>& arguments) {
        if (!granted_) {
            const pid_t grant = session_.launch(GW_GRANT_ROOT_PATH, {"/"});
            granted_ = session_.waitForExit(grant) == 0;
            EXPECT_TRUE(granted_) << session_.log(grant);
        }
        const pid_t run = session_.launch(GW_GLYPHWRIGHT_PATH, arguments, {"NO_COLOR=1"});
        const auto status = session_.waitForExit(run);
        return {status, session_.log(run)};
    }

    // A menu item of the program that a screen reader finds showing on the screen.
    // (Its name may go on with its shortcut.)
    std::optional<AccessibleElement> shownMenuItem(const std::string& name) {
        return waitForElement([&](const AccessibleElement& e) {
            return e.role == "menu item" && e.name.rfind(name, 0) == 0 && e.extents.width > 0 && e.extents.x >= 0;
        });
    }

    DesktopSession session_{kScreenWidth, kScreenHeight};
    Walk walk_{session_};
    bool granted_ = false;
};

// --- every window on a small screen ------------------------------------------------------

enum class Placement { besideMainWindow, overMainWindow };

struct WindowRow {
    const char* name;
    std::function<std::optional<std::string>(Walk&)> open;
    Placement placement;
    // The title as the window manager shows it (with the application's name).
    std::string title;
};

void PrintTo(const WindowRow& row, std::ostream* out) { *out << row.name; }

const WindowRow kWindowRows[] = {
    {"layer-editor", [](Walk& w) { return w.keysBringUp("ctrl+4"); }, Placement::besideMainWindow,
     "tvOS App Icon — Glyphwright"},
    {"leaderboard-layer-editor", [](Walk& w) { return w.keysBringUp("ctrl+8"); }, Placement::besideMainWindow,
     "tvOS Leaderboard — Glyphwright"},
    {"splash-previews", [](Walk& w) { return w.keysBringUp("ctrl+2"); }, Placement::besideMainWindow,
     "Launch Image Previews — Glyphwright"},
    {"asset-size", [](Walk& w) { return w.keysBringUp("ctrl+alt+4"); }, Placement::besideMainWindow,
     "Asset Size — Glyphwright"},
    {"help", [](Walk& w) { return w.clickBringsUp("push button", "Help"); }, Placement::besideMainWindow,
     "Using Your Asset Catalog — Glyphwright"},
    {"about", [](Walk& w) { return w.chooseFromMenu("Help", "About Glyphwright"); }, Placement::overMainWindow,
     "Glyphwright"},
    {"touch-bar-customisation", [](Walk& w) { return w.chooseFromMenu("View", "Customize Touch Bar"); },
     Placement::overMainWindow, "Customize Touch Bar… — Glyphwright"},
    {"preferences", [](Walk& w) { return w.keysBringUp("ctrl+comma"); }, Placement::overMainWindow,
     "Preferences — Glyphwright"},
    {"output-folder-dialog", [](Walk& w) { return w.clickBringsUp("push button", "Output Folder…"); },
     Placement::overMainWindow, "Choose the Output Folder — Glyphwright"},
    {"multiple-catalogs",
     [](Walk& w) -> std::optional<std::string> {
         const auto folder = w.session().root() / "projects";
         for (const char* app : {"Alpha", "Beta"}) {
             fs::create_directories(folder / app / "Assets.xcassets");
             gwtest::writeFile(folder / app / "Assets.xcassets/Contents.json", kCatalogInfo);
         }
         return w.chooseOutputFolder(folder);
     },
     Placement::overMainWindow, "Glyphwright"},
};

class EveryWindowOnASmallScreen : public SmallScreen, public ::testing::WithParamInterface<WindowRow> {};

// How wide the title's text is drawn in a window's title bar (the strip of the decorated
// frame above the client area), between the window's icon on the left and its three
// buttons on the right: from the first to the last column that holds text. The bar may be
// a gradient from top to bottom, so each row's background is that row's most common shade,
// and text is what stands out from it.
int titleTextWidth(const gwtest::x11::Screenshot& shot, const WindowGeometry& frame, const WindowGeometry& client) {
    const int top = frame.y + 2, bottom = client.y - 2;
    const int left = frame.x + 22, right = frame.x + frame.width - 62;
    int first = -1, last = -1;
    for (int y = top; y < bottom; ++y) {
        std::map<int, int> shades;
        for (int x = left; x < right; ++x) ++shades[luminance(shot.at(x, y))];
        if (shades.empty()) continue;
        const int background =
            std::max_element(shades.begin(), shades.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
        for (int x = left; x < right; ++x) {
            if (std::abs(luminance(shot.at(x, y)) - background) < 40) continue;
            first = first < 0 ? x : std::min(first, x);
            last = std::max(last, x);
        }
    }
    return first < 0 ? 0 : last - first + 1;
}

TEST_P(EveryWindowOnASmallScreen, OpensWholeOnTheScreenWhereTheMainWindowStaysReadable) {
    const WindowRow& row = GetParam();
    ASSERT_TRUE(walk_.launch()) << "the main window did not come up\n" << session_.log(walk_.app());
    const auto window = row.open(walk_);
    ASSERT_TRUE(window) << "the window did not open\n" << session_.log(walk_.app());
    // Where it is once the window manager has placed it, and the main window's frame.
    std::optional<WindowGeometry> client, mainClient;
    waitUntil([&] {
        client = session_.geometry(*window);
        return client && client->width > 1;
    }, kAppearDeadline);
    ASSERT_TRUE(client);
    mainClient = session_.geometry(walk_.mainWindow());
    ASSERT_TRUE(mainClient);
    // What must stay readable: the main window's readiness line (no output folder yet) and
    // its create button, where a screen reader finds them now.
    const auto warning = waitForElement([&](const AccessibleElement& e) {
        return e.role == "label" && e.name.rfind("\u26D4", 0) == 0 && mainClient->contains(e.extents.x, e.extents.y);
    });
    ASSERT_TRUE(warning) << "the main window shows no readiness line";
    const auto create = waitForElement([&](const AccessibleElement& e) {
        return e.role == "push button" && e.name == "Create Asset Catalog" && mainClient->contains(e.extents.x, e.extents.y);
    });
    ASSERT_TRUE(create);
    const auto frame = decorated(*client), mainFrame = decorated(*mainClient);
    // Photographed once drawn: the title in its bar.
    std::optional<gwtest::x11::Screenshot> shot;
    waitUntil([&] {
        shot = session_.screenshot(std::string("small-screen-") + row.name);
        return shot && titleTextWidth(*shot, decorated(*client), *client) > 20;
    }, std::chrono::seconds(30));

    // Whole on the screen, title bar included.
    EXPECT_GE(frame.x, 0) << describe(frame);
    EXPECT_GE(frame.y, 0) << describe(frame);
    EXPECT_LE(frame.x + frame.width, kScreenWidth) << describe(frame);
    EXPECT_LE(frame.y + frame.height, kScreenHeight) << describe(frame);

    if (row.placement == Placement::besideMainWindow) {
        // Beside the main window: its readiness line and create button stay in view.
        EXPECT_FALSE(intersects(frame, warning->extents))
            << row.name << " at " << describe(frame) << " covers the readiness line at " << describe(warning->extents);
        EXPECT_FALSE(intersects(frame, create->extents))
            << row.name << " at " << describe(frame) << " covers the create button at " << describe(create->extents);
    } else {
        // Over the main window, centred on it (within a title bar's height).
        const int dx = (frame.x + frame.width / 2) - (mainFrame.x + mainFrame.width / 2);
        const int dy = (frame.y + frame.height / 2) - (mainFrame.y + mainFrame.height / 2);
        EXPECT_LE(std::abs(dx) + std::abs(dy), 30)
            << row.name << " at " << describe(frame) << ", main window at " << describe(mainFrame);
    }

    // The title whole: the window manager draws it as wide as it draws the same title on
    // a window with room to spare (the main window, renamed for the comparison).
    EXPECT_EQ(session_.windowName(*window), row.title);
    ASSERT_TRUE(shot);
    const int shown = titleTextWidth(*shot, frame, *client);
    // The name window managers show is the UTF-8 one.
    ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"xprop", "-id", walk_.mainWindow(), "-f", "_NET_WM_NAME", "8u",
                                  "-set", "_NET_WM_NAME", row.title}));
    int whole = 0;
    std::optional<gwtest::x11::Screenshot> reference;
    waitUntil(
        [&] {
            reference = session_.screenshot(std::string("small-screen-title-") + row.name);
            whole = reference ? titleTextWidth(*reference, mainFrame, *mainClient) : 0;
            // Drawn once the main window's title is as long as the window's, or longer.
            return whole + 3 >= shown;
        },
        std::chrono::seconds(30));
    EXPECT_GT(shown, 20) << "no title text found in " << describe(frame) << " above " << describe(*client);
    EXPECT_LE(std::abs(whole - shown), 3) << row.name << ": its title is drawn " << shown
                                          << " pixels wide, whole it is " << whole;
    shot->keepIfFailed();
    if (reference) reference->keepIfFailed();
}

// --- the keyboard, the screen reader and the alerts -------------------------------------

TEST_F(SmallScreen, MenusOpenWithAltAndALetterAndTheirItemsWithALetterOfTheirOwn) {
    ASSERT_TRUE(walk_.launch()) << session_.log(walk_.app());
    // The picture well says what it is.
    const auto well = waitForElement([](const AccessibleElement& e) { return e.name == "Picture" && e.extents.width > 100; });
    ASSERT_TRUE(well) << "the picture well has no name";
    EXPECT_FALSE(well->description.empty());

    // Each menu by Alt and its title's first letter: it opens, showing its first item.
    const std::vector<std::pair<std::string, std::string>> menus = {
        {"alt+f", "Open…"},          {"alt+e", "Preferences…"}, {"alt+o", "iOS"},
        {"alt+v", "Show Touch Bar"}, {"alt+s", "Open Support Website"}, {"alt+h", "Glyphwright Help"}};
    for (const auto& [keys, firstItem] : menus) {
        SCOPED_TRACE(keys);
        const auto menu = keysOpen(keys);
        EXPECT_TRUE(menu) << "no menu opened";
        EXPECT_TRUE(shownMenuItem(firstItem)) << "the menu does not show " << firstItem;
        ASSERT_TRUE(typeKeys("Escape"));
        if (menu) {
            EXPECT_TRUE(waitUntil([&] { return walk_.windows().size() == 1; }, kAppearDeadline));
        }
    }

    // In the open File menu, C is Choose Output Folder…: its dialog comes.
    ASSERT_TRUE(keysOpen("alt+f"));
    ASSERT_TRUE(typeKeys("c"));
    EXPECT_TRUE(waitUntil([&] { return !session_.visibleWindowsNamed("^Choose the Output Folder").empty(); },
                          kAppearDeadline))
        << "the letter did not choose the item";
}

TEST_F(SmallScreen, ClearMenuIsOffUntilThereIsAFolderToClear) {
    walk_.settings().setBool(false, "scanSubfoldersForAssetCatalogs");
    ASSERT_TRUE(walk_.launch()) << session_.log(walk_.app());
    const auto clearMenu = [&] {
        // File ▸ Recent Output Folders ▸ Clear Menu, as a screen reader finds it.
        walk_.raise(walk_.mainWindow());
        EXPECT_TRUE(walk_.click("menu item", "File"));
        EXPECT_TRUE(walk_.click([](const AccessibleElement& e) {
            return e.role == "menu item" && e.name == "Recent Output Folders" && e.extents.width > 0;
        }));
        const auto item = shownMenuItem("Clear Menu");
        typeKeys("Escape Escape");
        waitUntil([&] { return walk_.windows().size() == 1; }, kAppearDeadline);
        return item;
    };
    const auto empty = clearMenu();
    ASSERT_TRUE(empty) << "no Clear Menu item";
    EXPECT_FALSE(empty->enabled) << "Clear Menu is on with no folder to clear";

    // A folder chosen is a recent folder: now there is something to clear.
    const auto out = session_.root() / "out";
    fs::create_directories(out);
    const auto dialog = walk_.clickBringsUp("push button", "Output Folder…");
    ASSERT_TRUE(dialog && walk_.typePathIntoDialog(*dialog, out.string()));
    ASSERT_TRUE(waitUntil(
        [&] { return gwtest::readFile(walk_.settingsFile()).find("recentCatalogPaths") != std::string::npos; },
        kAppearDeadline));
    const auto full = clearMenu();
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->enabled);
}

TEST_F(SmallScreen, EmailSupportWithoutAMailProgramShowsTheAddressInAnAlert) {
    // No mail program and no browser: the desktop's tools find no handler.
    fs::create_directories(session_.root() / "no-data-dirs");
    ASSERT_TRUE(walk_.launchWith({}, {"BROWSER=false", "XDG_DATA_DIRS=" + (session_.root() / "no-data-dirs").string()}))
        << session_.log(walk_.app());
    const auto alert = walk_.chooseFromMenu("Support", "Email Support");
    ASSERT_TRUE(alert) << "no alert came\n" << session_.log(walk_.app());
    const auto address = waitForElement([](const AccessibleElement& e) {
        return e.role == "label" && e.name.find("support@norvane.example") != std::string::npos;
    });
    EXPECT_TRUE(address) << "the alert does not show the support address";
    ASSERT_TRUE(session_.typeKeys(*alert, "Return"));
    EXPECT_TRUE(waitUntil([&] { return walk_.windows().size() == 1; }, kAppearDeadline));
}

// A PNG file of `side` × `side` one-bit grey pixels, all black: valid, tiny on disk.
void writeBlackPng(const fs::path& file, std::uint32_t side) {
    const auto chunk = [](std::string& out, const char* type, const std::string& data) {
        const auto be = [&](std::uint32_t v) {
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
        };
        be(static_cast<std::uint32_t>(data.size()));
        const std::string body = std::string(type) + data;
        out += body;
        be(static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
    };
    std::string header;
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<char>((side >> shift) & 0xFF));
    header += header;
    header += std::string("\x01\x00\x00\x00\x00", 5);  // 1 bit, grey, deflate, no filter choice, not interlaced
    // Each row: filter byte 0 and side / 8 zero bytes, deflated as one stream.
    z_stream z{};
    deflateInit(&z, 9);
    std::string compressed;
    const std::string row(1 + side / 8, '\0');
    std::vector<unsigned char> buffer(1 << 16);
    for (std::uint32_t y = 0; y <= side; ++y) {
        const bool last = y == side;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.data()));
        z.avail_in = last ? 0 : static_cast<uInt>(row.size());
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", compressed);
    chunk(png, "IEND", "");
    gwtest::writeFile(file, png);
}

TEST_F(SmallScreen, APictureOverTheLimitsOpenedInTheWindowShowsTheCommandLinesReason) {
    // A valid PNG of 16384 × 16384 pixels (four times the pixels allowed), and an SVG
    // drawing nested deeper than its work budget allows.
    const auto big = session_.root() / "big.png";
    writeBlackPng(big, 16384);
    std::string nested = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\">";
    for (int i = 0; i < 300; ++i) nested += "<g>";
    nested += "<rect width=\"64\" height=\"64\"/>";
    for (int i = 0; i < 300; ++i) nested += "</g>";
    nested += "</svg>";
    const auto deep = session_.root() / "deep.svg";
    gwtest::writeFile(deep, nested);

    for (const auto& picture : {big, deep}) {
        SCOPED_TRACE(picture.filename().string());
        // The command line's reason: the line under "Unable to open images at …".
        const auto [status, output] = commandLine({"-inputPath", picture.string(), "-outputPath",
                                                   (session_.root() / "cli-out").string()});
        EXPECT_EQ(status, 1) << output;
        std::istringstream lines(output);
        std::string line, reason;
        while (std::getline(lines, line)) {
            if (line.rfind("Unable to open images at", 0) == 0) std::getline(lines, reason);
        }
        ASSERT_FALSE(reason.empty()) << output;

        // The window, handed the same picture, tells the same reason.
        ASSERT_TRUE(walk_.launchWith({picture.string()})) << session_.log(walk_.app());
        const auto alert = walk_.newWindow({walk_.mainWindow()});
        ASSERT_TRUE(alert) << "no alert came\n" << session_.log(walk_.app());
        const auto told = waitForElement([&](const AccessibleElement& e) {
            return e.role == "label" && e.name.find(reason) != std::string::npos;
        });
        EXPECT_TRUE(told) << "the alert does not say: " << reason;
        ASSERT_TRUE(session_.typeKeys(*alert, "Return"));
        ASSERT_TRUE(session_.typeKeys(walk_.mainWindow(), "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(walk_.app()), 0);
    }
}

// --- the layers: named rows and the keyboard ----------------------------------------------

// A folder of three layers whose names give their order, each of its own colour.
struct LayerFolder {
    fs::path folder;
    std::vector<std::pair<std::string, std::string>> layers = {
        {"1-front", "#E02020"}, {"2-middle", "#20E020"}, {"3-back", "#2020E0"}};
};

LayerFolder writeLayerFolder(const fs::path& folder) {
    LayerFolder made{folder};
    fs::create_directories(folder);
    // The back layer is the canvas's shape; the others smaller, so each shows at the centre
    // only while it is the front one.
    const std::vector<std::string> sizes = {"400x240", "600x360", "800x480"};
    for (std::size_t i = 0; i < made.layers.size(); ++i) {
        const auto& [name, colour] = made.layers[i];
        EXPECT_TRUE(gwtest::x11::run({"convert", "-size", sizes[i], "xc:" + colour,
                                      "PNG24:" + (folder / (name + ".png")).string()}));
    }
    return made;
}

// The layer rows a screen reader finds, top to bottom: their names.
std::vector<std::string> layerRows(Walk& walk) {
    std::vector<AccessibleElement> rows;
    if (const auto list = walk.element([](const AccessibleElement& e) { return e.name == "Layers"; })) {
        for (const auto* row : list->findAll([](const AccessibleElement& e) {
                 return e.showing && e.name.find(", layer ") != std::string::npos;
             }))
            rows.push_back(*row);
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.extents.y < b.extents.y; });
    std::vector<std::string> names;
    for (const auto& row : rows) names.push_back(row.name);
    return names;
}

TEST_F(SmallScreen, TheLayerRowsHaveNamesAndTheKeyboardReordersTheLayers) {
    walk_.settings().setInteger(7, "IconType");  // tvOS app icons
    const auto stack = writeLayerFolder(session_.root() / "stack");
    // The folder handed over: its pictures in name order, the first in front.
    ASSERT_TRUE(walk_.launchWith({stack.folder.string()})) << session_.log(walk_.app());
    std::vector<std::string> rows;
    EXPECT_TRUE(waitUntil([&] { return (rows = layerRows(walk_)).size() == 3; }, kAppearDeadline));
    ASSERT_EQ(rows, (std::vector<std::string>{"1-front, layer 1 of 3", "2-middle, layer 2 of 3", "3-back, layer 3 of 3"}));

    const auto canvasCentre = [&]() -> std::optional<gwtest::x11::Rgb> {
        const auto canvas = walk_.element([](const AccessibleElement& e) { return e.name == "Canvas"; });
        const auto shot = session_.screenshot("layer-canvas");
        if (!canvas || !shot) return std::nullopt;
        return shot->at(canvas->extents.x + canvas->extents.width / 2, canvas->extents.y + canvas->extents.height / 2);
    };
    const auto showsInFront = [&](gwtest::x11::Rgb colour) {
        return waitUntil([&] {
            const auto centre = canvasCentre();
            return centre && gwtest::x11::near(*centre, colour, 40);
        }, std::chrono::seconds(30));
    };
    EXPECT_TRUE(showsInFront({0xE0, 0x20, 0x20}));

    // The list takes the keyboard (a click on the front layer); Down chooses the second
    // layer, Alt+Up brings it to the front.
    ASSERT_TRUE(walk_.click([](const AccessibleElement& e) { return e.name == "1-front, layer 1 of 3"; }));
    ASSERT_TRUE(typeKeys("Down alt+Up"));
    EXPECT_TRUE(waitUntil([&] {
        return (rows = layerRows(walk_)) == std::vector<std::string>{"2-middle, layer 1 of 3", "1-front, layer 2 of 3",
                                                                     "3-back, layer 3 of 3"};
    }, kAppearDeadline)) << ::testing::PrintToString(rows);
    EXPECT_TRUE(showsInFront({0x20, 0xE0, 0x20})) << "the canvas does not show the moved layer in front";
    // Alt+Down twice takes it to the back; at the end it stays.
    ASSERT_TRUE(typeKeys("alt+Down alt+Down alt+Down"));
    EXPECT_TRUE(waitUntil([&] {
        return (rows = layerRows(walk_)) == std::vector<std::string>{"1-front, layer 1 of 3", "3-back, layer 2 of 3",
                                                                     "2-middle, layer 3 of 3"};
    }, kAppearDeadline)) << ::testing::PrintToString(rows);
}

INSTANTIATE_TEST_SUITE_P(SmallScreen, EveryWindowOnASmallScreen, ::testing::ValuesIn(kWindowRows), gwtest::x11::rowCaseName<WindowRow>);

}  // namespace
