// The command line end to end: the built program runs as a child process with no
// display and its settings in a scratch folder; the root folder is granted through
// gw-grant-root, the way a machine without the preferences window does it.
#include "app/shell/catalog_run_support.hpp"
#include "app/shell/killed_run_support.hpp"
#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/plist.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"
#include "support/hostile_files.hpp"
#include "support/permission_bound.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::readFile;
using gwtest::writeFile;

// What a terminal gets; a pipe or a file, as in most tests here, gets none of it.
const std::string kReset = "\x1b[;m";
const std::string kRed = "\x1b[0;31m";
const std::string kYellow = "\x1b[0;33m";
const std::string kGreen = "\x1b[0;32m";
const std::string kRewrite = "\x1b[1A\x1b[K";

const std::string kVariantsRecommended = "Warning: Image variants mode is recommended for this output type.\n";

const std::string kSandboxText =
    "Due to sandboxing restrictions you need to enabled the command line interface in the app before it's "
    "available for use. Please open the app and enable this in the app's preferences.";

using gwtest::ProgramRun;

// A square SVG picture of `width` x `height` with an opaque background.
std::string svg(int width, int height, const std::string& colour = "#3a7bd5") {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
           std::to_string(height) + "\"><rect width=\"100%\" height=\"100%\" fill=\"" + colour +
           "\"/><circle cx=\"50%\" cy=\"50%\" r=\"30%\" fill=\"#ffffff\"/></svg>\n";
}

using gwtest::pngSize;

std::vector<fs::path> contentsFiles(const fs::path& root) {
    std::vector<fs::path> found;
    if (!fs::exists(root)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "Contents.json") found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Every file a Contents.json names lies beside it; returns how many were named.
int expectListedFilesExist(const fs::path& catalog) {
    int named = 0;
    for (const auto& contents : contentsFiles(catalog)) {
        const auto json = nlohmann::json::parse(readFile(contents));
        if (!json.contains("images")) continue;
        for (const auto& image : json["images"]) {
            if (!image.contains("filename")) continue;
            ++named;
            const auto file = contents.parent_path() / image["filename"].get<std::string>();
            EXPECT_TRUE(fs::is_regular_file(file)) << file;
            if (file.extension() == ".png") {
                EXPECT_TRUE(pngSize(file)) << file << " is no PNG";
            }
        }
    }
    return named;
}

// What the program says of a file whose kind is not taken.
std::string notTaken(const fs::path& file, const std::string& extension) {
    return file.string() + " is not of a type that is taken: its name " +
           (extension.empty() ? std::string("has no extension") : "ends in ." + extension) +
           ". Pictures are taken from files whose names end in .psd, .png, .jpg, .jpeg, .bmp, .gif, .pdf, .tiff or "
           ".svg (in any case), or from a folder of them.";
}

using gwtest::namesIn;

// A PNG of `side` x (side + 1) pixels: each picture of a test its own size, so that an
// image set's largest file tells which picture it was made from.
std::string sizedPNG(unsigned side) { return gwtest::solidPNG(side, side + 1, {40, 90, 200, 255}); }

// Text a terminal shows as it is: line feeds, but no other control character (C0, DEL,
// C1), no format character and no byte that is not part of well-formed UTF-8.
void expectShowable(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7F)) << "byte " << int(byte) << " in " << text;
            ++i;
            continue;
        }
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
        ASSERT_GT(length, 0u) << "byte " << int(byte) << " in " << text;
        ASSERT_LE(i + length, text.size()) << text;
        std::uint32_t c = byte & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
        for (std::size_t k = 1; k < length; ++k) {
            ASSERT_EQ(static_cast<unsigned char>(text[i + k]) & 0xC0, 0x80) << text;
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        EXPECT_FALSE(c >= 0x80 && c < 0xA0) << "a C1 control in " << text;
        EXPECT_FALSE(platform::foundation::isFormatCharacter(c)) << "U+" << std::hex << c << " in " << text;
        i += length;
    }
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = dir_ / "work";
        fs::create_directories(work_);
        fs::create_directories(dir_ / "xdg");
        writeFile(work_ / "icon.svg", svg(1024, 1024));
        fs::create_directories(work_ / "pictures");
        writeFile(work_ / "pictures/large.svg", svg(1024, 1024));
        writeFile(work_ / "pictures/wide.svg", svg(1280, 768, "#12306b"));
        writeFile(work_ / "pictures/small.svg", svg(400, 240, "#aa3300"));
    }

    // Settings, data and the home Trash in the scratch folder (the home folder there
    // too, so that the Trash is on the same file system as what goes to it); a run that
    // needs a window it does not have must end, not wait.
    gwtest::ProgramOptions options(const std::string& argv0 = {}) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = work_;
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "stdout.txt";
        options.errFile = dir_ / "stderr.txt";
        options.argv0 = argv0;
        options.environment = {"HOME=" + dir_.path().string()};
        return options;
    }
    ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& argv0 = {}) const {
        return gwtest::runProgram(program, arguments, options(argv0));
    }

    ProgramRun glyphwright(const std::vector<std::string>& arguments) const {
        return runProgram(GW_GLYPHWRIGHT_PATH, arguments);
    }

    // A PNG icon, for runs whose point is not the picture: what they check does not depend on
    // its kind, and the vector icon costs three times its processor time (each size of a
    // vector picture is drawn by a helper process of its own).
    std::string pngIcon() const {
        writeFile(work_ / "icon.png", gwtest::solidPNG(1024, 1024, {58, 123, 213, 255}));
        return "icon.png";
    }

    void grant(const fs::path& folder) const {
        const auto run = runProgram(GW_GRANT_ROOT_PATH, {folder.string()});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    void grant() const { grant(work_); }

    // A successful conversion: status 0, the starting line, progress lines that end at
    // 100%, one line per written folder, the final line; piped, without escape
    // sequences. Returns the lines that say where replaced catalogs went.
    static std::vector<std::string> expectCompleted(const ProgramRun& run, const std::vector<std::string>& catalogs) {
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
        const auto lines = run.outLines();
        EXPECT_GE(lines.size(), 2u) << run.out;
        if (lines.size() < 2) return {};
        EXPECT_EQ(lines.front(), "Conversion starting");
        std::vector<std::string> created;
        std::vector<std::string> replaced;
        std::string lastProgress;
        const std::regex progress(R"(^(\d+\.\d+)% complete$)");
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::smatch match;
            const std::string prefix = "Catalog created at: ";
            if (std::regex_match(lines[i], match, progress)) {
                lastProgress = match[1];
            } else if (lines[i].rfind("The replaced ", 0) == 0) {
                replaced.push_back(lines[i]);
            } else {
                EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << "unexpected line: " << lines[i];
                created.push_back(lines[i].substr(prefix.size()));
            }
        }
        EXPECT_EQ(lastProgress, "100.0");
        EXPECT_EQ(created, catalogs);
        EXPECT_TRUE(run.err.ends_with("Conversion Complete\n")) << run.err;
        // Anything else on standard error is a warning line.
        std::istringstream err(run.err);
        for (std::string line; std::getline(err, line);) {
            if (line == "Conversion Complete") continue;
            EXPECT_EQ(line.rfind("Warning: ", 0), 0u) << line;
        }
        return replaced;
    }

    // A run refused with its message alone on standard error, status 1, and nothing on
    // standard output.
    static void expectRefused(const ProgramRun& run, const std::string& message) {
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_EQ(run.err, message + "\n");
        EXPECT_EQ(run.out, "") << message;
    }

    gwtest::TempDir dir_;
    fs::path work_;
};

// --- usage, the desktop side and enablement ------------------------------------------

TEST_F(CommandLine, HelpPrintsTheUsageTextAndWinsOverEverythingElse) {
    const std::string golden = readFile(fs::path(GW_FIXTURES_DIR) / "golden/cli/usage.txt");
    ASSERT_FALSE(golden.empty());

    // Without a grant, and with other options, only the usage text.
    auto run = glyphwright({"-inputPath", "icon.svg", "-help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, golden);
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));

    // The synopsis names the program by the last component of the path it was run by.
    fs::create_directories(dir_ / "bin");
    fs::create_symlink(GW_GLYPHWRIGHT_PATH, dir_ / "bin/tool");
    run = runProgram((dir_ / "bin/tool").string(), {"-help"});
    EXPECT_EQ(run.status, 0);
    const auto lines = run.outLines();
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines[2].rfind("'tool' inputPath <path> outputPath <path>", 0), 0u) << lines[2];
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
}

// Only a start without any argument is the window's; an argument that is neither an
// option nor an option's value is named and refused, alone or among options, granted
// root or not, and nothing is converted.
TEST_F(CommandLine, WithoutArgumentsTheWindowProgramTakesOverAndAnyArgumentNotUnderstoodIsRefused) {
    const std::string options =
        " The options are -help, -inputPath, -outputPath, -assetType, -collectionType, -assetExistsAction, "
        "-assetCatalogExistsAction.";
    auto unknown = [&](const std::string& argument) { return "Unknown option " + argument + "." + options; };
    auto unexpected = [&](const std::string& argument) {
        return "Unexpected argument \u201c" + argument + "\u201d: it is neither an option nor the value of one." +
               options;
    };
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    // Another case or two dashes are no option.
    const std::vector<Case> cases = {
        {{"-foo"}, unknown("-foo")},
        {{"--help"}, unknown("--help")},
        {{"-Help"}, unknown("-Help")},
        {{"-inputpath", "icon.svg"}, unknown("-inputpath")},
        {{"icon.svg"}, unexpected("icon.svg")},
        {{"stray", "-inputPath", "icon.svg"}, unexpected("stray")},
        {{"-inputPath", "icon.svg", "stray"}, unexpected("stray")},
        {{"-inputPath", "icon.svg", "-assetType", "asset", "asset"}, unexpected("asset")},
        {{"-inputPath", "icon.svg", ""}, unexpected("")},
        {{"-"}, unexpected("-")},
    };
    for (const bool granted : {false, true}) {
        if (granted) grant();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.message);
            expectRefused(glyphwright(c.arguments), c.message);
        }
    }
    EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));

    const auto run = glyphwright({});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("there is no display to open the window on"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_F(CommandLine, WithoutAGrantedRootFolderNothingIsConverted) {
    // Never granted: the sandbox text, status 1, even for an option without a value.
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"-inputPath", "icon.svg"}, {"-inputPath"}}) {
        expectRefused(glyphwright(arguments), kSandboxText);
    }
    EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));

    // A grant whose folder is gone no longer counts, and the run says which it was.
    fs::create_directories(dir_ / "gone");
    grant(dir_ / "gone");
    fs::remove(dir_ / "gone");
    const std::string gone = "The root folder granted to the command line, " + (dir_ / "gone").string() +
                             ", is gone: nothing stands at its path any more (it was removed, moved or renamed).\n" +
                             kSandboxText;
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), gone);

    // A grant of something that is no folder is refused by the tool.
    const auto refused = runProgram(GW_GRANT_ROOT_PATH, {(work_ / "icon.svg").string()});
    EXPECT_NE(refused.status, 0);
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), gone);

    // The settings hold text: a folder whose path is not UTF-8 is refused with the reason,
    // rather than reported as granted and then not found.
    const fs::path notText = dir_ / "root\x9b";
    fs::create_directories(notText);
    const auto refusedName = runProgram(GW_GRANT_ROOT_PATH, {notText.string()});
    EXPECT_EQ(refusedName.status, 1);
    EXPECT_EQ(refusedName.out, "");
    EXPECT_EQ(refusedName.err, "gw-grant-root: The folder " + (dir_ / "root\\x9b").string() +
                                   " cannot be granted: its path is not valid UTF-8 text, which the settings cannot "
                                   "hold. Rename it, or grant a folder above it.\n");
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), gone);

    grant();
    expectCompleted(glyphwright({"-inputPath", "icon.svg"}), {(work_ / "Assets.xcassets").string()});
}

// Removes the granted folder `root` and makes it again, with the inode number it had, as
// ext4 usually gives it: where the file system gave another, the stored grant is made to
// name the new inode, so that only what else the grant keeps tells the two apart.
void remakeAtTheSameInode(const fs::path& root, const fs::path& settingsFile) {
    struct stat old {};
    ASSERT_EQ(::stat(root.c_str(), &old), 0);
    fs::remove_all(root);
    fs::create_directories(root);
    struct stat made {};
    ASSERT_EQ(::stat(root.c_str(), &made), 0);
    if (made.st_ino == old.st_ino && made.st_dev == old.st_dev) return;
    pf::UserDefaults settings(settingsFile);
    const auto stored = settings.dataForKey("rootBookmark");
    ASSERT_TRUE(stored);
    auto record = pf::plist::parse(*stored);
    record.member("device") = pf::Value(static_cast<std::int64_t>(made.st_dev));
    record.member("inode") = pf::Value(static_cast<std::int64_t>(made.st_ino));
    settings.setObject(pf::Value(pf::plist::serialize(record, pf::plist::Format::binary)), "rootBookmark");
}

// A stored grant that no longer names the folder granted (the folder moved away or
// replaced, by another folder, a link or a file; a setting that holds no grant; a folder
// that cannot be read) turns nothing on: the run says what became of the grant and names
// the folder, and nothing is read or written, in the folder that stands there now least of
// all. (A grant of a removed folder is in WithoutAGrantedRootFolderNothingIsConverted.)
TEST_F(CommandLine, AGrantThatNoLongerNamesItsFolderSaysWhatBecameOfItAndNamesIt) {
    const fs::path settings = dir_ / "xdg/XDG_CONFIG_HOME/com.norvane.glyphwright/com.norvane.glyphwright.plist";
    const fs::path root = dir_ / "root";
    const fs::path outside = dir_ / "outside";
    const fs::path keep = dir_ / "kept";  // where the granted folder goes, so that no new folder takes its inode
    const std::string head = "The root folder granted to the command line, " + root.string();
    const std::string replaced = head + ", was replaced: another folder, or a link to one, stands at its path now, "
                                        "and only the folder that was granted is used. Grant it again to use the one "
                                        "there now.";
    struct Case {
        const char* name;
        std::function<void()> change;
        std::string said;
        bool needsBindingPermissions = false;
    };
    const std::vector<Case> cases = {
        {"renamed", [&] { fs::rename(root, keep); },
         head + ", is gone: nothing stands at its path any more (it was removed, moved or renamed)."},
        {"replaced by another folder", [&] { fs::rename(root, keep); writeFile(root / "icon.svg", svg(64, 64)); },
         replaced},
        {"replaced by a link to another folder", [&] { fs::rename(root, keep); fs::create_directory_symlink(outside, root); },
         replaced},
        {"replaced by a file", [&] { fs::rename(root, keep); writeFile(root, "a file"); },
         head + ", is not a folder: a file stands at its path now, or the grant was made of one."},
        {"removed and made again", [&] { remakeAtTheSameInode(root, settings); writeFile(root / "icon.svg", svg(64, 64)); },
         replaced},
        {"a setting that holds text",
         [&] { pf::UserDefaults(settings).setObject(pf::Value(root.string()), "rootBookmark"); },
         "The setting “rootBookmark” in " + settings.string() + " holds no grant of a root folder."},
        // A text holding a NUL stops the property-list library where it reads one.
        {"a grant that holds a NUL",
         [&] {
             const auto damaged = gwtest::binaryPlistOfTexts(u"kind", std::u16string(u"book\0mark", 9));
             pf::UserDefaults(settings).setObject(pf::Value(pf::dataFromString(damaged)), "rootBookmark");
         },
         "The setting “rootBookmark” in " + settings.string() + " holds no grant of a root folder."},
        {"a folder that cannot be read", [&] { fs::permissions(root, fs::perms::none); },
         head + ", cannot be used: Permission denied.", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsBindingPermissions && !gwtest::permissionsBind()) continue;
        for (const auto& folder : {root, outside, keep}) fs::remove_all(folder);
        writeFile(root / "icon.svg", svg(64, 64));
        writeFile(outside / "icon.svg", svg(64, 64, "#ff0000"));
        grant(root);
        c.change();
        const auto run = glyphwright({"-inputPath", (root / "icon.svg").string(), "-outputPath", (root / "out").string()});
        if (fs::is_directory(fs::symlink_status(root))) fs::permissions(root, fs::perms::owner_all);
        expectRefused(run, c.said + "\n" + kSandboxText);
        EXPECT_EQ(namesIn(outside), (std::set<std::string>{"icon.svg"}));
        EXPECT_TRUE(contentsFiles(dir_.path()).empty());
    }
}

// --- bad options -------------------------------------------------------------------------

TEST_F(CommandLine, BadOptionsAndUnreadablePicturesAreRefusedWithStatusOne) {
    grant();
    writeFile(work_ / "broken.png", "this is not a picture");
    writeFile(work_ / "broken.svg", "<svg");
    // Kinds of file that are not taken, whatever they hold.
    for (const char* name : {"a.webp", "a.ico", "a.tif", "no-extension"}) writeFile(work_ / name, svg(64, 64));
    const std::string options =
        "The options are -help, -inputPath, -outputPath, -assetType, -collectionType, -assetExistsAction, "
        "-assetCatalogExistsAction.";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string unable = "Unable to open images at ";
    const std::vector<Case> cases = {
        {{"-inputPath"}, "Unable to understand the inputPath"},
        {{"-outputPath", "out"}, "Please specify the inputPath"},
        {{"-inputPath", "icon.svg", "-outputPath"}, "Unable to understand the outputPath"},
        // An empty value is no value: not the current folder.
        {{"-inputPath", ""}, "Unable to understand the inputPath"},
        {{"-inputPath", "", "-outputPath", "out"}, "Unable to understand the inputPath"},
        {{"-inputPath", "icon.svg", "-outputPath", ""}, "Unable to understand the outputPath"},
        {{"-inputPath", "icon.svg", "-assetType"}, "Unable to understand the assetType"},
        {{"-inputPath", "icon.svg", "-assetType", "iosicon"}, "Unable to understand the assetType"},
        {{"-inputPath", "icon.svg", "-collectionType", "Single"}, "Unable to understand the collectionType"},
        {{"-inputPath", "icon.svg", "-collectionType"}, "Unable to understand the collectionType"},
        {{"-inputPath", "icon.svg", "-collectionType", "variants"},
         "Using variants collectionType requires you to select a directory as the inputPath"},
        {{"-inputPath", "icon.svg", "-collectionType", "batch"},
         "Using batch collectionType requires you to select a directory as the inputPath"},
        {{"-inputPath", "icon.svg", "-assetExistsAction", "ask"}, "Unable to understand the assetExistsAction"},
        {{"-inputPath", "icon.svg", "-assetExistsAction"}, "Unable to understand the assetExistsAction"},
        {{"-inputPath", "icon.svg", "-assetCatalogExistsAction", "Overwrite"},
         "Unable to understand the assetCatalogExistsAction"},
        // A mistyped option is named, wherever it stands; a value that looks like one is a value.
        {{"-inputPath", "icon.svg", "-assetTyp", "asset"}, "Unknown option -assetTyp. " + options},
        {{"-assetTyp", "asset", "-inputPath", "icon.svg"}, "Unknown option -assetTyp. " + options},
        {{"-inputPath", "icon.svg", "--help"}, "Unknown option --help. " + options},
        {{"-inputPath", "icon.svg", "-outputPath", "-out", "-assetTyp", "asset"}, "Unknown option -assetTyp. " + options},
        {{"-inputPath", "a.webp"}, unable + (work_ / "a.webp").string() + "\n" + notTaken(work_ / "a.webp", "webp")},
        {{"-inputPath", "a.ico"}, unable + (work_ / "a.ico").string() + "\n" + notTaken(work_ / "a.ico", "ico")},
        {{"-inputPath", "a.tif", "-assetType", "asset"},
         unable + (work_ / "a.tif").string() + "\n" + notTaken(work_ / "a.tif", "tif")},
        {{"-inputPath", "no-extension"},
         unable + (work_ / "no-extension").string() + "\n" + notTaken(work_ / "no-extension", "")},
        {{"-inputPath", "missing.png"},
         unable + (work_ / "missing.png").string() + "\nThere is no file or folder at " +
             (work_ / "missing.png").string() + "."},
        {{"-inputPath", "missing", "-collectionType", "single"},
         unable + (work_ / "missing").string() + "\nThere is no file or folder at " + (work_ / "missing").string() +
             "."},
        // The types made of layers say how to give them their layers.
        {{"-inputPath", "icon.svg", "-assetType", "tvOSIcon"},
         "Unable to create asset catalog. Error This output type does not support single image mode.\nThis output "
         "type is made from a folder of layer images: give the folder as the inputPath together with "
         "-collectionType variants."},
        {{"-inputPath", "icon.svg", "-assetType", "tvOSLeaderboard"},
         "Unable to create asset catalog. Error This output type does not support single image mode.\nThis output "
         "type is made from a folder of layer images: give the folder as the inputPath together with "
         "-collectionType variants."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        expectRefused(glyphwright(c.arguments), c.message);
    }
    // Pictures that cannot be loaded: the reason, in words, on the line below the URL.
    for (const char* name : {"broken.png", "broken.svg"}) {
        SCOPED_TRACE(name);
        const auto run = glyphwright({"-inputPath", name});
        EXPECT_EQ(run.status, 1);
        const std::string first = unable + (work_ / name).string() + "\n";
        ASSERT_EQ(run.err.rfind(first, 0), 0u) << run.err;
        const std::string reason = run.err.substr(first.size());
        EXPECT_GT(reason.size(), 20u) << reason;
        EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
        EXPECT_EQ(reason.find("gw."), std::string::npos) << reason;
        EXPECT_EQ(reason.find("Error "), std::string::npos) << reason;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(namesIn(work_), (std::set<std::string>{"a.ico", "a.tif", "a.webp", "broken.png", "broken.svg",
                                                     "icon.svg", "no-extension", "pictures"}));

    // What is no file at all is refused the same way, where the root lets it be read.
    grant("/");
    expectRefused(glyphwright({"-inputPath", "/dev/zero", "-outputPath", work_.string()}),
                  unable + "/dev/zero\n" + notTaken("/dev/zero", ""));
}

// --- conversions ---------------------------------------------------------------------

// One case per type, so that each stays well inside its time limit on a loaded machine.
class EveryAssetType : public CommandLine, public ::testing::WithParamInterface<std::string> {};

TEST_P(EveryAssetType, ConvertsByItsCommandLineName) {
    grant();
    const std::string name = GetParam();
    // The layered types take a folder of pictures; every other one takes one picture.
    const auto out = work_ / ("out-" + name);
    const bool layered = name == "tvOSIcon" || name == "tvOSLeaderboard";
    std::vector<std::string> arguments = {"-inputPath", layered ? "pictures" : "icon.svg", "-outputPath",
                                          out.string(), "-assetType", name};
    if (layered) arguments.insert(arguments.end(), {"-collectionType", "variants"});
    const auto run = glyphwright(arguments);
    expectCompleted(run, {(out / "Assets.xcassets").string()});
    // One picture for sizes of several shapes: the run recommends variants first, and goes on.
    if (name == "iOSSplash" || name == "iMessageIcon" || name == "complicationIcon") {
        EXPECT_EQ(run.err.rfind(kVariantsRecommended, 0), 0u) << run.err;
    }
    EXPECT_FALSE(contentsFiles(out / "Assets.xcassets").empty());
    EXPECT_GT(expectListedFilesExist(out / "Assets.xcassets"), 0);
    if (name != "iOSIcon") return;

    // The iOS app icon set is the catalog the application itself writes, byte for byte.
    const auto golden = fs::path(GW_FIXTURES_DIR) / "golden/ios-icon";
    const auto iconSet = out / "Assets.xcassets/AppIcon.appiconset";
    EXPECT_EQ(readFile(iconSet / "Contents.json"), readFile(golden / "Assets.xcassets/AppIcon.appiconset/Contents.json"));
    std::istringstream listing(readFile(golden / "images.txt"));
    for (std::string file, size; listing >> file >> size;) {
        const auto actual = pngSize(iconSet / file);
        ASSERT_TRUE(actual) << file;
        EXPECT_EQ(std::to_string(actual->first) + "x" + std::to_string(actual->second), size) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, EveryAssetType,
                         ::testing::Values("iOSIcon", "macOSIcon", "asset", "iOSSplash", "watchIcon",
                                           "complicationIcon", "iMessageIcon", "tvOSIcon", "tvOSSplash",
                                           "tvOSTopShelf", "tvOSTopShelfWide", "tvOSLeaderboard",
                                           "tvOSGameCenterDashboard", "catalyst"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// (The iMessage icon's sizes are of several shapes, as a launch image's are, at a fortieth of
// a launch image's pixels; EveryAssetType sees the launch image's warning.)
TEST_F(CommandLine, ReadinessWarningsAreShownInYellowBeforeTheRunGoesOn) {
    grant();
    const auto run = glyphwright({"-inputPath", "icon.svg", "-assetType", "iMessageIcon"});
    expectCompleted(run, {(work_ / "Assets.xcassets").string()});
    EXPECT_EQ(run.err.rfind(kVariantsRecommended, 0), 0u) << run.err;
}

// A transparent corner is judged while the sizes are drawn, from a vector picture's drawing
// at full size; its warning still comes once, before the run says it started.
TEST_F(CommandLine, TransparencyWarningsComeBeforeTheStartLine) {
    grant();
    writeFile(work_ / "round.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1024\" height=\"1024\">"
                                   "<circle cx=\"512\" cy=\"512\" r=\"400\" fill=\"#3a7bd5\"/></svg>\n");
    writeFile(work_ / "veiled.png", gwtest::solidPNG(1024, 1024, {40, 90, 200, 100}));
    auto both = options();
    both.errFile = both.outFile;
    const std::string warning =
        "Warning: The image has a transparent background. App icons must be opaque, so the transparency will be "
        "removed.";
    for (const auto& [input, warned] : std::vector<std::pair<std::string, bool>>{
             {"round.svg", true}, {"veiled.png", true}, {"icon.svg", false}}) {
        SCOPED_TRACE(input);
        const auto run = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, {"-inputPath", input, "-assetType", "iOSIcon"}, both);
        EXPECT_EQ(run.status, 0) << run.out;
        const auto lines = run.outLines();
        const auto start = std::find(lines.begin(), lines.end(), "Conversion starting");
        ASSERT_NE(start, lines.end()) << run.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), start),
                  warned ? std::vector<std::string>{warning} : std::vector<std::string>{});
        EXPECT_EQ(std::count(start, lines.end(), warning), 0) << run.out;
    }
}

TEST_F(CommandLine, EveryCollectionTypeConverts) {
    grant();
    // single: one picture, catalog beside it.
    expectCompleted(glyphwright({"-inputPath", "icon.svg", "-collectionType", "single", "-assetType", "asset"}),
                    {(work_ / "Assets.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "Assets.xcassets"), (std::set<std::string>{"Contents.json", "icon.imageset"}));

    // variants: the pictures of a folder in one icon set; without -outputPath the
    // catalog goes next to the folder, not into it.
    auto run = glyphwright({"-inputPath", "pictures", "-collectionType", "variants", "-outputPath", "variants"});
    expectCompleted(run, {(work_ / "variants/Assets.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "variants/Assets.xcassets"),
              (std::set<std::string>{"AppIcon.appiconset", "Contents.json"}));
    EXPECT_EQ(expectListedFilesExist(work_ / "variants/Assets.xcassets"), 18);

    fs::remove_all(work_ / "Assets.xcassets");
    run = glyphwright({"-inputPath", "pictures/", "-collectionType", "batch", "-assetType", "asset"});
    // batch: one folder result per picture, all in the catalog beside the folder.
    const auto catalog = (work_ / "Assets.xcassets").string();
    expectCompleted(run, {catalog, catalog, catalog});
    EXPECT_EQ(namesIn(work_ / "Assets.xcassets"),
              (std::set<std::string>{"Contents.json", "large.imageset", "small.imageset", "wide.imageset"}));
    EXPECT_FALSE(fs::exists(work_ / "pictures/Assets.xcassets"));
}

// A single-picture run given a folder of several pictures converts one, the last in name
// order, as it always did: it says which it used and which it left out. A folder of one
// picture says nothing.
TEST_F(CommandLine, ASingleRunGivenSeveralPicturesNamesTheOneItUsedAndThoseItLeftOut) {
    grant();
    const auto pictures = work_ / "pictures";
    const auto run = glyphwright({"-inputPath", "pictures", "-outputPath", "several", "-assetType", "asset"});
    expectCompleted(run, {(work_ / "several/Assets.xcassets").string()});
    EXPECT_NE(run.err.find("Warning: A single-picture run converts one picture: " + (pictures / "wide.svg").string() +
                           " is used; left out: " + (pictures / "large.svg").string() + ", " +
                           (pictures / "small.svg").string() +
                           ". Give -collectionType variants or batch to convert them all.\n"),
              std::string::npos)
        << run.err;
    expectCompleted(glyphwright({"-inputPath", "pictures/wide.svg", "-outputPath", "alone", "-assetType", "asset"}),
                    {(work_ / "alone/Assets.xcassets").string()});
    EXPECT_EQ(gwtest::snapshot(work_ / "several"), gwtest::snapshot(work_ / "alone"));

    writeFile(work_ / "one/icon.svg", svg(64, 64));
    const auto one = glyphwright({"-inputPath", "one", "-outputPath", "one-out", "-assetType", "asset"});
    expectCompleted(one, {(work_ / "one-out/Assets.xcassets").string()});
    EXPECT_EQ(one.err, "Conversion Complete\n");
}

// Pictures of a batch whose names give the same set name (the same file name in
// another folder or with another extension, or names that differ only by control
// characters, which set names leave out) each get a set of their own: the first in name
// order keeps the name, each later one takes the next free number, and the run says so.
// A picture whose own name no other picture has keeps it, and no numbered name is a
// name another picture of the run has as its own: the set photo1 is photo1.png's.
TEST_F(CommandLine, PicturesOfABatchThatShareANameEachGetASetOfTheirOwn) {
    grant();
    const fs::path in = work_ / "batch";
    // In name order (the bytes of the paths), each its own size.
    const std::vector<std::pair<std::string, std::string>> pictures = {
        {"a\nb.png", "ab"},        {"a\rb.png", "ab1"},        {"ab.png", "ab2"},
        {"photo.jpg", "photo"},    {"photo.png", "photo2"},    {"photo1.png", "photo1"},
        {"sub/photo.png", "photo3"},
    };
    for (std::size_t i = 0; i < pictures.size(); ++i) writeFile(in / pictures[i].first, sizedPNG(30 + 3 * i));
    const auto catalog = work_ / "out/Assets.xcassets";
    for (const std::string action : {"overwrite", "append"}) {
        SCOPED_TRACE(action);
        const auto run = glyphwright({"-inputPath", in.string(), "-outputPath", "out", "-collectionType", "batch",
                                      "-assetType", "asset", "-assetCatalogExistsAction", action});
        expectCompleted(run, std::vector<std::string>(pictures.size(), catalog.string()));
        std::set<std::string> sets = {"Contents.json"};
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            const auto& [file, name] = pictures[i];
            sets.insert(name + ".imageset");
            const auto largest = pngSize(catalog / (name + ".imageset") / (name + "~universal@3x.png"));
            ASSERT_TRUE(largest) << name;
            EXPECT_EQ(largest->first, 30 + 3 * i) << file << " went to " << name;
        }
        EXPECT_EQ(namesIn(catalog), sets);
        const auto said = [&](const std::string& file, const std::string& name, const std::string& keeper,
                              const std::string& kept) {
            return "Warning: " + (in / file).string() + " is converted under the name " + name + ", since " +
                   (in / keeper).string() + " already has the name " + kept + ".\n";
        };
        EXPECT_EQ(run.err, said("a\\x0db.png", "ab1", "a\\x0ab.png", "ab") + said("ab.png", "ab2", "a\\x0ab.png", "ab") +
                               said("photo.png", "photo2", "photo.jpg", "photo") +
                               said("sub/photo.png", "photo3", "photo.jpg", "photo") + "Conversion Complete\n");
    }
}

TEST_F(CommandLine, OptionsAreLookedUpAtTheirFirstOccurrenceAndTakeTheNextArgumentAsTheirValue) {
    grant();
    // The first -inputPath counts; "-outputPath -assetType asset" writes into a folder
    // named -assetType, and -assetType still takes "asset".
    const auto run = glyphwright(
        {"-inputPath", "icon.svg", "-outputPath", "-assetType", "asset", "-inputPath", "pictures/large.svg"});
    expectCompleted(run, {(work_ / "-assetType/Assets.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "-assetType/Assets.xcassets"), (std::set<std::string>{"Contents.json", "icon.imageset"}));
}

// A folder's scan takes the artwork only: never the pictures of a catalog (written into
// the folder by an earlier run, or kept there), nor anything of the output folder; a
// picture it cannot read is named on standard error and the others still convert.
TEST_F(CommandLine, AFolderScanTakesNoPicturesFromCatalogsOrTheOutputAndNamesUnreadableOnes) {
    grant();
    for (const char* name : {"p0.svg", "p1.svg", "p2.svg"}) writeFile(work_ / "in" / name, svg(64, 64));
    writeFile(work_ / "in/Kept.xcassets/old.imageset/old.svg", svg(64, 64));
    writeFile(work_ / "in/out/stray.svg", svg(64, 64));
    writeFile(work_ / "in/broken.png", "not a picture");
    const auto catalog = work_ / "in/out/Assets.xcassets";
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE(run);
        const auto result = glyphwright({"-inputPath", "in", "-outputPath", "in/out", "-collectionType", "batch",
                                         "-assetType", "asset", "-assetCatalogExistsAction", "append"});
        expectCompleted(result, {catalog.string(), catalog.string(), catalog.string()});
        EXPECT_EQ(namesIn(catalog),
                  (std::set<std::string>{"Contents.json", "p0.imageset", "p1.imageset", "p2.imageset"}));
        EXPECT_NE(result.err.find("Warning: Skipped " + (work_ / "in/broken.png").string() +
                                  ": it could not be read as a picture ("),
                  std::string::npos)
            << result.err;
    }
}

// In a batch, a picture no set can be named after (a file name that is not UTF-8 text, or
// too long for the set's files) is one picture passed over: one escaped warning, the others
// converted. Where it names the run's one set (the first of its variants) the run still fails.
TEST_F(CommandLine, APictureNoSetCanBeNamedAfterIsOnePicturePassedOverInABatch) {
    grant();
    const std::string notText = "b-\xff-bad", notTextShown = "b-\\xff-bad", tooLong = "c-" + std::string(240, 'n');
    for (const auto& [name, side] : std::vector<std::pair<std::string, unsigned>>{
             {"a-good", 30}, {notText, 31}, {tooLong, 32}, {"d-good", 33}}) {
        writeFile(work_ / "odd" / (name + ".png"), sizedPNG(side));
    }
    const auto catalog = work_ / "out/Assets.xcassets";
    const auto batch = glyphwright(
        {"-inputPath", "odd", "-outputPath", "out", "-collectionType", "batch", "-assetType", "asset"});
    expectCompleted(batch, {catalog.string(), catalog.string()});
    EXPECT_EQ(namesIn(catalog), (std::set<std::string>{"Contents.json", "a-good.imageset", "d-good.imageset"}));
    expectShowable(batch.err);
    for (const auto& shown : {notTextShown, tooLong}) {
        const std::string warning = "Warning: Skipped " + (work_ / "odd" / (shown + ".png")).string() + ": ";
        const auto at = batch.err.find(warning);
        EXPECT_NE(at, std::string::npos) << batch.err;
        EXPECT_EQ(batch.err.find(warning, at + 1), std::string::npos) << "said twice: " << batch.err;
    }
    const std::string reason = "The name \u201c" + notTextShown + ".imageset\u201d is not valid UTF-8 text";
    EXPECT_NE(batch.err.find(reason), std::string::npos) << batch.err;

    writeFile(work_ / "variants" / (notText + ".png"), sizedPNG(40));
    writeFile(work_ / "variants/e-good.png", sizedPNG(41));
    const auto variants = glyphwright(
        {"-inputPath", "variants", "-outputPath", "one", "-assetType", "asset", "-collectionType", "variants"});
    EXPECT_EQ(variants.status, 1) << variants.err;
    EXPECT_NE(variants.err.find("Unable to create asset catalog. Error " + reason), std::string::npos) << variants.err;
    EXPECT_FALSE(fs::exists(work_ / "one"));
}

// A folder's pictures are taken in the byte order of their names (not, say, of their
// URLs, where "a b" is "a%20b"), and for the layered types the first is the front layer.
TEST_F(CommandLine, LayersAreTakenInNameOrderTheFirstInFront) {
    grant();
    for (const char* name : {"z.svg", "a!b.svg", "a b.svg"}) writeFile(work_ / "layers" / name, svg(1280, 768));
    const auto out = work_ / "stack";
    expectCompleted(glyphwright({"-inputPath", "layers", "-outputPath", out.string(), "-assetType", "tvOSIcon",
                                 "-collectionType", "variants"}),
                    {(out / "Assets.xcassets").string()});
    int stacks = 0;
    for (const auto& contents : contentsFiles(out)) {
        const auto json = nlohmann::json::parse(readFile(contents));
        if (!json.contains("layers")) continue;
        ++stacks;
        std::vector<std::string> layers;
        for (const auto& layer : json["layers"]) layers.push_back(layer["filename"]);
        EXPECT_EQ(layers, (std::vector<std::string>{"a b.imagestacklayer", "a!b.imagestacklayer", "z.imagestacklayer"}))
            << contents;
    }
    EXPECT_GT(stacks, 0);
}

// What a terminal shows, the program's standard output and error both going to it, as
// in an interactive shell.
struct TerminalRun {
    int status = -1;
    std::string shown;  // line ends as the program wrote them
};

TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& arguments,
                          const gwtest::ProgramOptions& options) {
    TerminalRun result;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return result;
    }
    const std::string terminal = ::ptsname(master);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto env = gwtest::programEnvironment(options);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(terminal.c_str(), O_RDWR);
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (slave < 0 || nothing < 0 || ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(126);
        ::dup2(nothing, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + options.deadline;
    char buffer[4096];
    for (;;) {
        pollfd ready{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "the program did not end";
            break;
        }
        if (::poll(&ready, 1, 100) <= 0) continue;
        const auto got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) break;  // the terminal's last user has gone
        result.shown.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // The terminal turns each line feed into a carriage return and a line feed.
    std::erase(result.shown, '\r');
    return result;
}

// Colours and cursor movement go to a terminal only, colours never while NO_COLOR is set;
// piped output is plain text.
TEST_F(CommandLine, EscapeSequencesOnlyOnATerminalAndNoColoursWithNoColor) {
    grant();
    const auto icon = pngIcon();
    const std::regex colour("\x1b\\[[0-9;]*m");
    struct Case {
        std::string name;
        bool terminal;
        std::vector<std::string> environment;
        bool coloured;
    };
    const std::vector<Case> cases = {
        {"a terminal", true, {}, true},
        {"a terminal with NO_COLOR", true, {"NO_COLOR=1"}, false},
        {"a pipe", false, {}, false},
        {"a pipe with NO_COLOR", false, {"NO_COLOR=1"}, false},
    };
    const std::string golden = readFile(fs::path(GW_FIXTURES_DIR) / "golden/cli/usage.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = this->options();
        options.environment.insert(options.environment.end(), c.environment.begin(), c.environment.end());
        auto run = [&](const std::vector<std::string>& arguments) {
            if (c.terminal) return runOnTerminal(GW_GLYPHWRIGHT_PATH, arguments, options);
            const auto piped = gwtest::runProgram(GW_GLYPHWRIGHT_PATH, arguments, options);
            return TerminalRun{piped.status, piped.out + piped.err};
        };
        const auto help = run({"-help"});
        EXPECT_EQ(help.status, 0);
        std::string expected;
        std::istringstream lines(golden);
        for (std::string line; std::getline(lines, line);) expected += (c.coloured ? kReset : "") + line + "\n";
        EXPECT_EQ(help.shown, expected);

        const auto conversion = run({"-inputPath", icon, "-outputPath", "o-" + std::to_string(&c - cases.data())});
        EXPECT_EQ(conversion.status, 0) << conversion.shown;
        EXPECT_EQ(std::regex_search(conversion.shown, colour), c.coloured) << conversion.shown;
        EXPECT_EQ(conversion.shown.find(kGreen + "Conversion Complete\n") != std::string::npos, c.coloured)
            << conversion.shown;
        // Progress lines rewrite each other on a terminal alone.
        EXPECT_EQ(conversion.shown.find(kRewrite) != std::string::npos, c.terminal) << conversion.shown;
        if (!c.terminal) {
            EXPECT_EQ(conversion.shown.find('\x1b'), std::string::npos) << conversion.shown;
        }

        const auto refused = run({"-inputPath", "missing.png"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.shown.rfind(c.coloured ? kRed + "Unable to open images at" : "Unable to open images at", 0),
                  0u)
            << refused.shown;
    }
}

// A name or path from outside never reaches the terminal raw: its control characters
// (C0, DEL, C1) and broken bytes are shown escaped, and so are the format characters
// that would reorder or hide text on a terminal that applies bidirectional text, on
// standard output and standard error alike, while text of any script stays as it is.
// Set names leave control characters out, C1 as well as C0.
TEST_F(CommandLine, NamesAndPathsAreShownWithTheirControlCharactersEscaped) {
    grant();
    const std::string hostile = "\x1b]0;PWNED\x07\x1b[2J";
    const std::string hostileShown = "\\x1b]0;PWNED\\x07\\x1b[2J";
    const std::string art = "caf\xc3\xa9 \xf0\x9f\x8e\xa8";  // "café" and an emoji
    writeFile(work_ / "mixed" / (hostile + ".png"), "damaged");
    writeFile(work_ / "mixed" / (art + ".png"), sizedPNG(30));
    writeFile(work_ / "mixed/sub" / (art + ".png"), sizedPNG(31));
    // A right-to-left override, a zero-width space, a soft hyphen and a tag.
    writeFile(work_ / "mixed/invoice\u202efdp.exe\u200b\u00ad\U000e0041.png", "damaged");
    writeFile(work_ / "mixed/c1\u0085\u009bname.png", sizedPNG(32));
    const std::string output = "out\x1b[2J\xc2\x9b\xff\u2066";
    const std::string outputShown = "out\\x1b[2J\\xc2\\x9b\\xff\\u{2066}";
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> shown;  // what the output holds, escaped
    };
    const std::vector<Case> cases = {
        {{"-inputPath", "mixed", "-outputPath", output, "-collectionType", "batch", "-assetType", "asset"},
         0,
         {"Warning: Skipped " + (work_ / "mixed").string() + "/" + hostileShown +
              ".png: it could not be read as a picture (",
          "Warning: Skipped " + (work_ / "mixed").string() +
              "/invoice\\u{202e}fdp.exe\\u{200b}\\u{ad}\\u{e0041}.png: it could not be read as a picture (",
          "Warning: " + (work_ / "mixed/sub").string() + "/" + art + ".png is converted under the name " + art +
              "1, since " + (work_ / "mixed").string() + "/" + art + ".png already has the name " + art + ".\n",
          "Catalog created at: " + (work_ / outputShown).string() + "/Assets.xcassets\n"}},
        // The path as it is, escaped where it must be, never a percent-encoded URL.
        {{"-inputPath", "gone\x07\n.png"},
         1,
         {"Unable to open images at " + (work_ / "gone\\x07\\x0a.png").string() +
          "\nThere is no file or folder at " + (work_ / "gone\\x07\\x0a.png").string() + ".\n"}},
        {{"-inputPath", "\u00e9t\u00e9/gone " + art + ".png"},
         1,
         {"Unable to open images at " + (work_ / ("\u00e9t\u00e9/gone " + art + ".png")).string() +
          "\nThere is no file or folder at " + (work_ / ("\u00e9t\u00e9/gone " + art + ".png")).string() + ".\n"}},
        {{"-inputPath", "icon.svg", "-outputPath", (dir_ / ("far" + hostile)).string()},
         1,
         {"Unable to use " + (dir_ / ("far" + hostileShown)).string() + ": it is not inside the root folder"}},
        {{"-inputPath", "icon.svg", "-" + hostile}, 1, {"Unknown option -" + hostileShown + ". The options are"}},
        {{"-inputPath", "icon.svg", "\x9b" "2J"}, 1, {"Unexpected argument \u201c\\x9b2J\u201d"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown.front());
        const auto run = glyphwright(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        expectShowable(run.out);
        expectShowable(run.err);
        for (const auto& text : c.shown) EXPECT_NE((run.out + run.err).find(text), std::string::npos) << run.out << run.err;
    }
    // The escaped names are shown, not used: the sets keep the pictures' names.
    EXPECT_EQ(namesIn(work_ / output / "Assets.xcassets"),
              (std::set<std::string>{"Contents.json", art + ".imageset", art + "1.imageset", "c1name.imageset"}));
}

// --- an existing catalog --------------------------------------------------------------

class ExistingCatalog : public CommandLine {
protected:
    // A catalog from an earlier run: another asset, and an icon set with a stale picture.
    void SetUp() override {
        CommandLine::SetUp();
        grant();
        catalog_ = work_ / "out/Assets.xcassets";
        makeCatalog();
    }
    void makeCatalog() const {
        fs::remove_all(work_ / "out");
        fs::create_directories(catalog_ / "Other.imageset");
        fs::create_directories(catalog_ / "AppIcon.appiconset");
        writeFile(catalog_ / "Contents.json", "{}\n");
        writeFile(catalog_ / "Other.imageset/other.svg", svg(10, 10));
        writeFile(catalog_ / "AppIcon.appiconset/stale.svg", svg(10, 10));
    }
    ProgramRun convert(std::vector<std::string> more) const {
        std::vector<std::string> arguments = {"-inputPath", "icon.svg", "-outputPath", "out"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return glyphwright(arguments);
    }
    void expectUntouched() const {
        EXPECT_EQ(namesIn(catalog_), (std::set<std::string>{"AppIcon.appiconset", "Contents.json", "Other.imageset"}));
        EXPECT_EQ(namesIn(catalog_ / "AppIcon.appiconset"), (std::set<std::string>{"stale.svg"}));
        EXPECT_EQ(readFile(catalog_ / "Contents.json"), "{}\n");
        EXPECT_EQ(namesIn(work_ / "out"), (std::set<std::string>{"Assets.xcassets"}));
    }
    fs::path catalog_;
};

// -assetCatalogExistsAction answers for the catalog folder itself, as the usage text says.
// The default replaces the whole catalog, but what the user made in the old one is not
// lost: the old catalog goes to the Trash, or, where the Trash cannot take it, stays
// beside the new one, and the run says where on a line of its own.
TEST_F(ExistingCatalog, AnOverwrittenCatalogGoesToTheTrashOrStaysBesideTheNewOne) {
    const fs::path home = dir_ / "xdg/XDG_DATA_HOME";
    writeFile(dir_ / "blocked", "a file where the data folder would be");
    struct Case {
        std::string name;
        std::vector<std::string> environment;
        fs::path keptIn;
        std::string said;
    };
    std::vector<Case> cases = {
        {"the Trash takes it", {}, home / "Trash/files", " was moved to the Trash: "},
        {"no Trash can be made",
         {"XDG_DATA_HOME=" + (dir_ / "blocked/data").string()},
         work_ / "out",
         " was kept beside the new one as "},
    };
    // The data folder's Trash takes what lies on the data folder's file system, whatever file
    // system the home folder is on.
    const gwtest::ScratchDisk otherHome(dir_ / "home-elsewhere", "tmpfs", "size=1m");
    if (otherHome.mounted()) {
        cases.push_back({"the home folder on another file system", {"HOME=" + (dir_ / "home-elsewhere").string()},
                         home / "Trash/files", " was moved to the Trash: "});
    }
    const std::regex keptName(R"(Assets \(replaced \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d( \d+)?\)\.xcassets)");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeCatalog();
        // A set and a colour the user made, and a file of their own.
        fs::create_directories(catalog_ / "Brand.colorset");
        writeFile(catalog_ / "Brand.colorset/Contents.json", "{\"colors\" : []}\n");
        writeFile(catalog_ / "notes.txt", "mine");
        auto options = this->options();
        options.environment.insert(options.environment.end(), c.environment.begin(), c.environment.end());
        const auto run = gwtest::runProgram(GW_GLYPHWRIGHT_PATH,
                                            {"-inputPath", "icon.svg", "-outputPath", "out", "-assetType", "asset"},
                                            options);
        const auto said = expectCompleted(run, {catalog_.string()});
        EXPECT_EQ(namesIn(catalog_), (std::set<std::string>{"Contents.json", "icon.imageset"}));

        std::vector<std::string> kept;
        for (const auto& name : namesIn(c.keptIn)) {
            if (std::regex_match(name, keptName)) kept.push_back(name);
        }
        ASSERT_EQ(kept.size(), 1u) << c.keptIn;
        const fs::path old = c.keptIn / kept.front();
        EXPECT_EQ(namesIn(old), (std::set<std::string>{"AppIcon.appiconset", "Brand.colorset", "Contents.json",
                                                        "Other.imageset", "notes.txt"}));
        EXPECT_EQ(readFile(old / "notes.txt"), "mine");
        EXPECT_EQ(readFile(old / "Other.imageset/other.svg"), svg(10, 10));
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0].rfind("The replaced " + catalog_.string() + c.said + old.string(), 0), 0u) << said[0];
        fs::remove_all(old);
    }
    // The Trash can put it back where it stood, under the name that says what it was.
    const auto info = namesIn(home / "Trash/info");
    ASSERT_EQ(info.size(), otherHome.mounted() ? 2u : 1u);
    for (const auto& name : info) {
        EXPECT_NE(readFile(home / "Trash/info" / name).find("\nPath=" + (work_ / "out/Assets%20%28replaced%20").string()),
                  std::string::npos);
    }
    if (!otherHome.mounted()) GTEST_SKIP() << "the home folder on another file system not tried: " << otherHome.why();
}

TEST_F(ExistingCatalog, IncrementWritesANewCatalogBesideTheOldOne) {
    expectCompleted(convert({"-assetCatalogExistsAction", "increment"}), {(work_ / "out/Assets1.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "out"), (std::set<std::string>{"Assets.xcassets", "Assets1.xcassets"}));
    EXPECT_EQ(namesIn(catalog_ / "AppIcon.appiconset"), (std::set<std::string>{"stale.svg"}));
    EXPECT_EQ(expectListedFilesExist(work_ / "out/Assets1.xcassets"), 18);
}

TEST_F(ExistingCatalog, AppendKeepsTheOtherAssetsOfTheCatalog) {
    const auto said = expectCompleted(convert({"-assetCatalogExistsAction", "append"}), {catalog_.string()});
    EXPECT_EQ(namesIn(catalog_), (std::set<std::string>{"AppIcon.appiconset", "Contents.json", "Other.imageset"}));
    EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));
    // The icon set itself follows -assetExistsAction, overwrite by default: replaced, the
    // old one in the Trash.
    EXPECT_FALSE(fs::exists(catalog_ / "AppIcon.appiconset/stale.svg"));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("The replaced " + (catalog_ / "AppIcon.appiconset").string() + " was moved to the Trash: ", 0),
              0u)
        << said[0];
    // The asset action alone never touches the catalog's other assets.
    expectCompleted(convert({"-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"}),
                    {catalog_.string()});
    EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));
}

TEST_F(ExistingCatalog, CancelStopsTheRunSaysWhyAndLeavesTheCatalogAsItWas) {
    expectRefused(convert({"-assetCatalogExistsAction", "cancel"}),
                  "Unable to create asset catalog. Error Nothing was written: " + catalog_.string() +
                      " already exists and the answer for it is to cancel.");
    expectUntouched();
}

// -assetExistsAction answers for an asset folder inside a kept catalog.
TEST_F(ExistingCatalog, TheAssetActionDecidesWhatHappensToAnExistingAsset) {
    expectCompleted(convert({"-assetCatalogExistsAction", "append", "-assetExistsAction", "increment"}),
                    {catalog_.string()});
    EXPECT_EQ(namesIn(catalog_ / "AppIcon.appiconset"), (std::set<std::string>{"stale.svg"}));
    EXPECT_EQ(expectListedFilesExist(catalog_ / "AppIcon1.appiconset"), 18);

    expectCompleted(convert({"-assetCatalogExistsAction", "append", "-assetExistsAction", "overwrite"}),
                    {catalog_.string()});
    EXPECT_FALSE(fs::exists(catalog_ / "AppIcon.appiconset/stale.svg"));
    EXPECT_EQ(expectListedFilesExist(catalog_ / "AppIcon.appiconset"), 18);
    EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));
}

// Replacing an asset set loses nothing a user put in it (a dark variant, notes): the old
// set goes to the Trash, or stays beside the new one where the Trash cannot take it, and
// the run says where on a line of its own. Whichever action replaces it, and whether the
// catalog is kept by append or is the output itself.
TEST_F(ExistingCatalog, AReplacedSetGoesToTheTrashWithWhatTheUserAddedAndTheRunSaysWhere) {
    const fs::path trash = dir_ / "xdg/XDG_DATA_HOME/Trash";
    writeFile(dir_ / "blocked", "a file where the data folder would be");
    writeFile(work_ / "Same.svg", svg(64, 64, "#208040"));
    struct Case {
        std::string name;
        std::string set;  // in the catalog
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        bool trashed;
    };
    const std::vector<std::string> sameInKeptCatalog = {"-inputPath", "Same.svg", "-outputPath", "out", "-assetType",
                                                        "asset", "-assetCatalogExistsAction", "append"};
    auto with = [](std::vector<std::string> arguments, const std::vector<std::string>& more) {
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    };
    const std::vector<Case> cases = {
        {"an image set, the catalog kept by append", "Same.imageset", sameInKeptCatalog, {}, true},
        {"an image set, -assetExistsAction overwrite", "Same.imageset",
         with(sameInKeptCatalog, {"-assetExistsAction", "overwrite"}), {}, true},
        {"an app icon set", "AppIcon.appiconset",
         {"-inputPath", "icon.svg", "-outputPath", "out", "-assetCatalogExistsAction", "append"}, {}, true},
        {"an image set of the catalog that is the output", "Same.imageset",
         {"-inputPath", "Same.svg", "-outputPath", "out/Assets.xcassets", "-assetType", "asset"}, {}, true},
        {"an image set where no Trash can be made", "Same.imageset", sameInKeptCatalog,
         {"XDG_DATA_HOME=" + (dir_ / "blocked/data").string()}, false},
    };
    const std::regex keptName(R"((Same|AppIcon) \(replaced \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\)\.(imageset|appiconset))");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeCatalog();
        fs::remove_all(trash);
        const fs::path set = catalog_ / c.set;
        if (c.set == "Same.imageset") expectCompleted(glyphwright(sameInKeptCatalog), {catalog_.string()});
        const auto before = namesIn(set);
        ASSERT_FALSE(before.empty());
        // What the user added since.
        writeFile(set / "notes.txt", "mine");
        writeFile(set / "Same-dark.png", "a dark variant");

        auto options = this->options();
        options.environment.insert(options.environment.end(), c.environment.begin(), c.environment.end());
        const auto said = expectCompleted(gwtest::runProgram(GW_GLYPHWRIGHT_PATH, c.arguments, options),
                                          {catalog_.string()});
        // The new set is whole in its place, without the user's files.
        EXPECT_GT(expectListedFilesExist(set), 0);
        EXPECT_FALSE(fs::exists(set / "notes.txt"));
        EXPECT_FALSE(fs::exists(set / "Same-dark.png"));
        EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));

        ASSERT_EQ(said.size(), 1u);
        const std::string told = said[0];
        const std::string start = "The replaced " + set.string() +
                                  (c.trashed ? " was moved to the Trash: " : " was kept beside the new one as ");
        ASSERT_EQ(told.rfind(start, 0), 0u) << told;
        const fs::path kept = told.substr(start.size(), c.trashed ? std::string::npos : told.find(" (the Trash") - start.size());
        EXPECT_EQ(kept.parent_path(), c.trashed ? trash / "files" : catalog_) << told;
        EXPECT_TRUE(std::regex_match(kept.filename().string(), keptName)) << kept;
        // Whole: what the run made before and what the user added.
        auto expected = before;
        expected.insert({"notes.txt", "Same-dark.png"});
        EXPECT_EQ(namesIn(kept), expected);
        EXPECT_EQ(readFile(kept / "notes.txt"), "mine");
        EXPECT_EQ(readFile(kept / "Same-dark.png"), "a dark variant");
        if (c.trashed) {
            // The Trash can put it back into the catalog.
            EXPECT_NE(readFile(trash / "info" / (kept.filename().string() + ".trashinfo"))
                          .find("\nPath=" + catalog_.string() + "/"),
                      std::string::npos);
        }
    }
}

// Catalogs replaced within one second keep the date and time of their name whole, a number
// after them, and each run names the folder its own catalog went to. The Trash already
// holds a catalog replaced in every second of the next two minutes, as if earlier runs had
// made them.
TEST_F(ExistingCatalog, CatalogsReplacedWithinOneSecondAreNumberedAfterTheTimeAndEachRunNamesItsOwn) {
    const fs::path trash = dir_ / "xdg/XDG_DATA_HOME/Trash";
    fs::create_directories(trash / "info");
    std::set<std::string> earlier;
    const std::time_t now = std::time(nullptr);
    for (std::time_t second = now - 2; second < now + 120; ++second) {
        std::tm local{};
        ::localtime_r(&second, &local);
        char stamp[32] = {};
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
        const std::string name = std::string("Assets (replaced ") + stamp + ").xcassets";
        fs::create_directories(trash / "files" / name);
        writeFile(trash / "info" / (name + ".trashinfo"),
                  "[Trash Info]\nPath=" + (dir_ / "elsewhere" / name).string() + "\nDeletionDate=2026-01-01T00:00:00\n");
        earlier.insert(name);
    }
    const std::regex numbered(R"(Assets \(replaced \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d (\d+)\)\.xcassets)");
    std::set<fs::path> keptFolders;
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        makeCatalog();
        writeFile(catalog_ / "run.txt", "run " + std::to_string(run));
        const auto said = expectCompleted(convert({}), {catalog_.string()});
        ASSERT_EQ(said.size(), 1u);
        const std::string start = "The replaced " + catalog_.string() + " was moved to the Trash: ";
        ASSERT_EQ(said[0].rfind(start, 0), 0u) << said[0];
        const fs::path kept = said[0].substr(start.size());
        std::smatch match;
        const std::string name = kept.filename().string();
        EXPECT_TRUE(std::regex_match(name, match, numbered)) << name;
        EXPECT_EQ(kept.parent_path(), trash / "files");
        EXPECT_EQ(readFile(kept / "run.txt"), "run " + std::to_string(run));
        EXPECT_TRUE(fs::exists(trash / "info" / (name + ".trashinfo")));
        keptFolders.insert(kept);
    }
    EXPECT_EQ(keptFolders.size(), 3u);
    // What was in the Trash before stays as it was.
    for (const auto& name : earlier) EXPECT_TRUE(fs::is_empty(trash / "files" / name)) << name;
    EXPECT_EQ(namesIn(trash / "files").size(), earlier.size() + 3);
}

// A folder a killed run set aside never costs the user a file: it is put back, but
// whichever answer the next run is given, what the user had at that name is found where a
// warning says: in the Trash, or beside where there is none.
TEST_F(ExistingCatalog, ALeftoversNameBesideTheUsersCatalogNeverCostsTheUserAFile) {
    const fs::path trash = dir_ / "xdg/XDG_DATA_HOME/Trash/files";
    writeFile(dir_ / "blocked", "a file where the data folder would be");
    const fs::path set = catalog_ / "icon.imageset";
    struct Case {
        std::string name;
        fs::path place;
        std::string action;
        bool trashed;
    };
    const std::vector<Case> cases = {
        {"beside the catalog, append", catalog_, "append", true},
        {"beside the catalog, overwrite, no Trash", catalog_, "overwrite", false},
        {"beside a set, append, no Trash", set, "append", false},
        {"beside a set, overwrite", set, "overwrite", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(trash.parent_path());
        makeCatalog();
        expectCompleted(convert({"-assetType", "asset", "-assetCatalogExistsAction", "append"}), {catalog_.string()});
        writeFile(set / "notes.txt", "mine");
        // No process has a number above the kernel's limit on them (2^22).
        const fs::path leftover = c.place.parent_path() / ("." + c.place.filename().string() + ".replaced-4194305-7");
        writeFile(leftover / "Contents.json", "{}\n");
        gwtest::leaveInFlight(leftover, gw::InFlightKind::replaced, c.place.filename().string());

        auto options = this->options();
        if (!c.trashed) options.environment.push_back("XDG_DATA_HOME=" + (dir_ / "blocked/data").string());
        const auto run = gwtest::runProgram(
            GW_GLYPHWRIGHT_PATH,
            {"-inputPath", "icon.svg", "-outputPath", "out", "-assetType", "asset", "-assetCatalogExistsAction", c.action},
            options);
        expectCompleted(run, {catalog_.string()});
        EXPECT_FALSE(fs::exists(leftover));
        const std::string said = "Warning: " + leftover.string() + ", left by an interrupted run, was put back as " +
                                 c.place.string() + "; what stood there was " +
                                 (c.trashed ? "moved to the Trash: " : "kept beside it as ");
        const auto at = run.err.find(said);
        ASSERT_NE(at, std::string::npos) << run.err;
        const auto end = run.err.find(c.trashed ? "\n" : " (the Trash could not take it: ", at);
        const fs::path kept = run.err.substr(at + said.size(), end - at - said.size());
        EXPECT_EQ(kept.parent_path(), c.trashed ? trash : c.place.parent_path());
        EXPECT_EQ(readFile(kept / (c.place == set ? "notes.txt" : "icon.imageset/notes.txt")), "mine");
    }
}

TEST_F(ExistingCatalog, AnAssetCancelOrAnAnswerThatNeedsAWindowEndsTheRunWithStatusOne) {
    expectRefused(convert({"-assetCatalogExistsAction", "append", "-assetExistsAction", "cancel"}),
                  "Unable to create asset catalog. Error Nothing was written: " +
                      (catalog_ / "AppIcon.appiconset").string() + " already exists and the answer for it is to cancel.");
    expectUntouched();
    // An icon set cannot take more pictures, so append would have to ask; there is no
    // window to ask in.
    expectRefused(convert({"-assetCatalogExistsAction", "append", "-assetExistsAction", "append"}),
                  "Unable to create asset catalog. Error Unable to prompt user for action without the window");
    expectUntouched();
}

// A folder that cannot be written: its line says why on standard output, the same
// reason reaches standard error, and the run still ends with its final line, status 1.
TEST_F(ExistingCatalog, AFolderThatFailsIsReportedOnBothStreamsAndTheRunEndsWithStatusOne) {
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"a file where the icon set goes",
         [&] {
             fs::remove_all(catalog_ / "AppIcon.appiconset");
             writeFile(catalog_ / "AppIcon.appiconset", "in the way");
         }},
        {"a folder where the catalog's list goes",
         [&] {
             fs::remove(catalog_ / "Contents.json");
             fs::create_directories(catalog_ / "Contents.json");
         }},
    };
    for (const auto& [name, breakCatalog] : cases) {
        SCOPED_TRACE(name);
        breakCatalog();
        const auto run = convert({"-assetCatalogExistsAction", "append"});
        EXPECT_EQ(run.status, 1);
        const std::string failed = "Catalog creation failed. Error ";
        const auto onOut = run.out.find(failed);
        ASSERT_NE(onOut, std::string::npos) << run.out;
        const std::string line = run.out.substr(onOut, run.out.find('\n', onOut) - onOut);
        EXPECT_GT(line.size(), failed.size() + 10) << line;
        EXPECT_EQ(run.out.find("Catalog created at: "), std::string::npos) << run.out;
        EXPECT_EQ(run.err, line + "\nConversion Complete\n");
        makeCatalog();
    }
}

// An existing image set whose Contents.json is no regular file: appending to it never
// waits on a FIFO or reads a device; the set gets a fresh, complete list.
TEST_F(ExistingCatalog, AppendingToAnImageSetWhoseListIsNoRegularFileNeitherHangsNorReadsForEver) {
    for (const char* kind : {"fifo", "zero"}) {
        SCOPED_TRACE(kind);
        const fs::path imageSet = catalog_ / "icon.imageset";
        fs::remove_all(imageSet);
        fs::create_directories(imageSet);
        if (std::string(kind) == "fifo") {
            ASSERT_EQ(::mkfifo((imageSet / "Contents.json").c_str(), 0600), 0);
        } else {
            fs::create_symlink("/dev/zero", imageSet / "Contents.json");
        }
        expectCompleted(convert({"-assetType", "asset", "-assetCatalogExistsAction", "append", "-assetExistsAction",
                                 "append"}),
                        {catalog_.string()});
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(imageSet / "Contents.json")));
        EXPECT_GT(expectListedFilesExist(imageSet), 0);
        EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));
    }
}

// --- the granted root folder ------------------------------------------------------------

// Only what lies below the granted root is read or written, once links and ".." are
// resolved; a grant of "/" takes in everything.
TEST_F(CommandLine, LocationsOutsideTheGrantedRootAreRefusedAndNothingIsWritten) {
    const fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    writeFile(outside / "far.svg", svg(1024, 1024));
    fs::create_directory_symlink(outside, work_ / "escape");
    grant();
    const std::string root = work_.string();
    auto refusal = [&](const fs::path& location) {
        return "Unable to use " + location.string() + ": it is not inside the root folder granted to the command line (" +
               root + "). Nothing was written.";
    };
    struct Case {
        std::vector<std::string> arguments;
        fs::path refused;
    };
    const std::vector<Case> cases = {
        {{"-inputPath", (outside / "far.svg").string(), "-outputPath", "out"}, outside / "far.svg"},
        {{"-inputPath", "icon.svg", "-outputPath", outside.string()}, outside},
        {{"-inputPath", "icon.svg", "-outputPath", "../outside/new"}, outside / "new"},
        {{"-inputPath", "escape/far.svg", "-outputPath", "out"}, work_ / "escape/far.svg"},
        {{"-inputPath", "icon.svg", "-outputPath", "escape/new"}, work_ / "escape/new"},
        // Without -outputPath, a folder given as input writes beside it: outside.
        {{"-inputPath", root + "/", "-collectionType", "batch", "-assetType", "asset"}, work_.parent_path()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refused.string());
        const auto run = glyphwright(c.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, refusal(c.refused) + "\n");
    }
    EXPECT_EQ(namesIn(outside), (std::set<std::string>{"far.svg"}));
    EXPECT_EQ(namesIn(work_), (std::set<std::string>{"escape", "icon.svg", "pictures"}));
    EXPECT_TRUE(contentsFiles(dir_.path()).empty());

    // A root of "/" lets everything in; so does a link that stays inside the root.
    fs::create_directory_symlink(work_ / "pictures", work_ / "inside");
    expectCompleted(glyphwright({"-inputPath", "inside/large.svg", "-outputPath", "out"}),
                    {(work_ / "out/Assets.xcassets").string()});
    grant("/");
    expectCompleted(glyphwright({"-inputPath", (outside / "far.svg").string(), "-outputPath", outside.string()}),
                    {(outside / "Assets.xcassets").string()});
}

// Reads are bound by the root as writes are: a picture or a linked folder of the input
// folder that leads outside the root once links are followed (directly, relatively or
// through a link inside the root) is passed over and named on standard error; an input
// that leads outside is refused. Links that stay inside are read; a root of "/" takes
// in everything.
TEST_F(CommandLine, PicturesAndFoldersThatLeadOutOfTheRootAreNotRead) {
    const fs::path outside = dir_ / "outside";
    writeFile(outside / "far.png", sizedPNG(40));
    writeFile(outside / "folder/deep.png", sizedPNG(41));
    writeFile(work_ / "elsewhere/near.png", sizedPNG(42));
    const fs::path in = work_ / "in";
    writeFile(in / "own.png", sizedPNG(43));
    fs::create_symlink(outside / "far.png", in / "stolen.png");
    fs::create_symlink("../../outside/far.png", in / "relative.png");
    fs::create_symlink(outside / "far.png", work_ / "hop.png");
    fs::create_symlink(work_ / "hop.png", in / "chained.png");
    fs::create_directory_symlink(outside / "folder", in / "linked");
    fs::create_symlink(work_ / "elsewhere/near.png", in / "near.png");
    fs::create_directory_symlink(outside, work_ / "outlink");
    grant();

    auto convert = [&](const std::string& output) {
        return glyphwright({"-inputPath", "in", "-outputPath", output, "-collectionType", "batch", "-assetType",
                            "asset"});
    };
    auto warnings = [](const ProgramRun& run) {
        std::set<std::string> lines;
        std::istringstream err(run.err);
        for (std::string line; std::getline(err, line);) {
            if (line.rfind("Warning: ", 0) == 0) lines.insert(line);
        }
        return lines;
    };
    auto run = convert("out");
    expectCompleted(run, std::vector<std::string>(2, (work_ / "out/Assets.xcassets").string()));
    EXPECT_EQ(namesIn(work_ / "out/Assets.xcassets"), (std::set<std::string>{"Contents.json", "near.imageset", "own.imageset"}));
    std::set<std::string> skipped;
    for (const char* name : {"chained.png", "linked", "relative.png", "stolen.png"}) {
        skipped.insert("Warning: Skipped " + (in / name).string() +
                       ": it leads outside the root folder granted to the command line (" + work_.string() + ").");
    }
    EXPECT_EQ(warnings(run), skipped);

    // As the input itself, through a link at its end or in its middle.
    for (const std::string input : {"in/stolen.png", "outlink/far.png", "outlink/folder"}) {
        SCOPED_TRACE(input);
        const auto refused = glyphwright({"-inputPath", input, "-outputPath", "out2", "-assetType", "asset",
                                          "-collectionType", input.ends_with(".png") ? "single" : "batch"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err.rfind("Unable to use " + (work_ / input).string(), 0), 0u) << refused.err;
        EXPECT_NE(refused.err.find("it is not inside the root folder granted to the command line"), std::string::npos);
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_FALSE(fs::exists(work_ / "out2"));
    EXPECT_EQ(namesIn(outside), (std::set<std::string>{"far.png", "folder"}));

    // Everything is inside "/": the linked pictures are read (a linked folder is never entered).
    grant("/");
    run = convert("all");
    expectCompleted(run, std::vector<std::string>(5, (work_ / "all/Assets.xcassets").string()));
    EXPECT_EQ(namesIn(work_ / "all/Assets.xcassets"),
              (std::set<std::string>{"Contents.json", "chained.imageset", "near.imageset", "own.imageset",
                                     "relative.imageset", "stolen.imageset"}));
    EXPECT_TRUE(warnings(run).empty()) << run.err;
}

// A catalog, an asset folder or a folder deeper in the catalog that is a link out of the
// root is refused, whatever the answers and the output type, and nothing is written
// where it leads; a link that stays inside the root is written through.
TEST_F(CommandLine, LinksInsideTheOutputThatLeadOutOfTheRootAreRefused) {
    grant();
    const auto icon = pngIcon();
    const fs::path outside = dir_ / "outside";
    struct Case {
        std::string name;
        std::string link;    // below work_/o, where the link stands
        std::string target;  // below `outside`, where it leads (made unless it is "missing")
        std::vector<std::string> more;
    };
    std::vector<Case> cases;
    for (const std::string action : {"append", "overwrite", "increment"}) {
        for (const std::string type : {"iOSIcon", "asset"}) {
            cases.push_back({"the catalog, " + type + ", catalog " + action, "Assets.xcassets", "catalog",
                             {"-assetType", type, "-assetCatalogExistsAction", action}});
            const std::string set = type == "asset" ? "icon.imageset" : "AppIcon.appiconset";
            cases.push_back({"the asset folder, " + type + ", asset " + action, "Assets.xcassets/" + set, "set",
                             {"-assetType", type, "-assetCatalogExistsAction", "append", "-assetExistsAction", action}});
        }
    }
    cases.push_back({"a catalog link to nothing yet", "Assets.xcassets", "missing", {"-assetType", "asset"}});
    // The tvOS brand assets nest their layers three folders down.
    cases.push_back({"a layer folder deep in the catalog",
                     "Assets.xcassets/App Icon & Top Shelf Image.brandassets/App Icon - App Store.imagestack",
                     "stack",
                     {"-inputPath", "pictures", "-assetType", "tvOSIcon", "-collectionType", "variants",
                      "-assetCatalogExistsAction", "append", "-assetExistsAction", "append"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work_ / "o");
        fs::remove_all(outside);
        fs::create_directories(outside);
        const fs::path target = outside / c.target;
        if (c.target != "missing") fs::create_directories(target);
        const fs::path link = work_ / "o" / c.link;
        fs::create_directories(link.parent_path());
        if (link.parent_path() != work_ / "o") writeFile(work_ / "o/Assets.xcassets/Contents.json", "{}\n");
        fs::create_directory_symlink(target, link);

        std::vector<std::string> arguments = {"-inputPath", icon, "-outputPath", "o"};
        arguments.insert(arguments.end(), c.more.begin(), c.more.end());
        if (c.more.front() == "-inputPath") arguments.erase(arguments.begin(), arguments.begin() + 2);
        const auto run = glyphwright(arguments);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_EQ(run.err, "Unable to create asset catalog. Error " + link.string() + " leads to " + target.string() +
                               ", which is outside the root folder granted to the command line. The root folder is " +
                               work_.string() + "; nothing is written outside it.\n");
        EXPECT_EQ(run.out, "");
        std::vector<std::string> written;
        for (const auto& entry : fs::recursive_directory_iterator(outside)) written.push_back(entry.path().string());
        EXPECT_EQ(written, std::vector<std::string>(c.target == "missing" ? 0 : 1, target.string()));
        EXPECT_TRUE(fs::is_symlink(link));
        // Nothing was set aside on the way either.
        for (const auto& entry : fs::recursive_directory_iterator(work_ / "o")) {
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
        }
    }

    // Inside the root a linked catalog is written through.
    fs::remove_all(work_ / "o");
    fs::create_directories(work_ / "o");
    fs::create_directories(work_ / "real.xcassets");
    fs::create_directory_symlink(work_ / "real.xcassets", work_ / "o/Assets.xcassets");
    expectCompleted(glyphwright({"-inputPath", icon, "-outputPath", "o", "-assetType", "asset",
                                 "-assetCatalogExistsAction", "append"}),
                    {(work_ / "o/Assets.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "real.xcassets"), (std::set<std::string>{"Contents.json", "icon.imageset"}));
}

// --- settings ---------------------------------------------------------------------------

// A write of the settings killed halfway (as a killed grant leaves it) leaves a temporary
// file beside them: the next grant removes it, but not the one a writer still at work holds,
// nor a file of the user's that is only named like one.
TEST_F(CommandLine, TheGrantingToolRemovesWhatKilledWritesOfTheSettingsLeft) {
    const fs::path folder = dir_ / "xdg/XDG_CONFIG_HOME/com.norvane.glyphwright";
    const fs::path settings = folder / "com.norvane.glyphwright.plist";
    grant();
    const pid_t killed = ::fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) {
        pf::files::AtomicFileWriter writer(settings, 0600);
        writer.write("half a settings file");
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    ASSERT_TRUE(WIFSIGNALED(status));
    pf::files::AtomicFileWriter underWay(settings, 0600);
    const std::string held = fs::path(underWay.temporaryPath()).filename().string();
    const std::string users = ".com.norvane.glyphwright.plist.backup";
    writeFile(folder / users, "the user's own");
    ASSERT_EQ(namesIn(folder).size(), 4u);

    grant();
    EXPECT_EQ(namesIn(folder), (std::set<std::string>{"com.norvane.glyphwright.plist", held, users}));
    expectCompleted(glyphwright({"-inputPath", "icon.svg"}), {(work_ / "Assets.xcassets").string()});
    EXPECT_EQ(namesIn(folder), (std::set<std::string>{"com.norvane.glyphwright.plist", held, users}));
    EXPECT_EQ(readFile(folder / users), "the user's own");
}

// --- hostile settings ---------------------------------------------------------------------

// Whatever stands in place of the settings file, no run hangs or crashes: the thing is
// moved aside, the run says so and that the grant must be made again, and the grant
// tool makes it again.
TEST_F(CommandLine, HostileSettingsFilesAreSetAsideAndSaidSo) {
    const fs::path settingsFolder = dir_ / "xdg/XDG_CONFIG_HOME/com.norvane.glyphwright";
    const fs::path settings = settingsFolder / "com.norvane.glyphwright.plist";
    struct Case {
        const char* name;
        std::function<void()> make;
    };
    const std::vector<Case> cases = {
        {"deeply nested binary", [&] { writeFile(settings, gwtest::nestedBinaryPlist(300'000)); }},
        {"deeply nested xml", [&] { writeFile(settings, gwtest::nestedXMLPlist(300'000)); }},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0); }},
        {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", settings); }},
        {"garbage", [&] { writeFile(settings, "not settings"); }},
        // A text holding a NUL, in a key or a value, stops the property-list library where it reads one.
        {"a NUL in a key", [&] { writeFile(settings, gwtest::binaryPlistOfTexts(std::u16string(u"root\0", 5), u"x")); }},
        {"a NUL in a value", [&] { writeFile(settings, gwtest::binaryPlistOfTexts(u"Overwrite", std::u16string(u"\0", 1))); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        grant();
        fs::remove(settings);
        fs::remove(settingsFolder / "com.norvane.glyphwright.plist.corrupt");
        c.make();
        // The usage text never reads the settings.
        EXPECT_EQ(glyphwright({"-help"}).status, 0);
        const auto run = glyphwright({"-inputPath", "icon.svg"});
        EXPECT_EQ(run.status, 1);
        const std::string expected = "The settings file " + settings.string() + " could not be read: ";
        EXPECT_EQ(run.err.rfind(expected, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("\nIt was moved to " + settings.string() +
                               ".corrupt. The root folder must be granted again.\n" + kSandboxText + "\n"),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(fs::exists(fs::symlink_status(settings.string() + ".corrupt")));
        EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));
        // Said once: the next run only finds no grant.
        expectRefused(glyphwright({"-inputPath", "icon.svg"}), kSandboxText);
    }
    // The grant tool repairs it the same way, telling where the old file went.
    const auto icon = pngIcon();
    for (const auto& damaged : {gwtest::nestedBinaryPlist(300'000), gwtest::binaryPlistOfTexts(u"a", std::u16string(u"\0", 1))}) {
        fs::remove(settingsFolder / "com.norvane.glyphwright.plist.corrupt");
        writeFile(settings, damaged);
        const auto repaired = runProgram(GW_GRANT_ROOT_PATH, {work_.string()});
        EXPECT_EQ(repaired.status, 0) << repaired.err;
        EXPECT_NE(repaired.err.find("it was moved to " + settings.string() + ".corrupt"), std::string::npos)
            << repaired.err;
        expectCompleted(glyphwright({"-inputPath", icon}), {(work_ / "Assets.xcassets").string()});
        fs::remove_all(work_ / "Assets.xcassets");
    }

    // Settings that cannot be saved: the tool says so and fails, and nothing is granted.
    fs::remove_all(settingsFolder);
    writeFile(settingsFolder, "a file where the settings folder goes");
    const auto unsaved = runProgram(GW_GRANT_ROOT_PATH, {work_.string()});
    EXPECT_EQ(unsaved.status, 1);
    EXPECT_EQ(unsaved.out, "");
    EXPECT_NE(unsaved.err.find("The settings could not be saved to " + settings.string()), std::string::npos)
        << unsaved.err;
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), kSandboxText);
}

}  // namespace
