// The command line end to end: the built program runs as a child process with no
// display and its settings in a scratch folder; the root folder is granted through
// gw-grant-root, the way a machine without the preferences window does it.
#include "support/hostile_files.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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
using gwtest::readFile;
using gwtest::writeFile;

const std::string kReset = "\x1b[;m";
const std::string kRed = "\x1b[0;31m";
const std::string kYellow = "\x1b[0;33m";
const std::string kGreen = "\x1b[0;32m";
const std::string kRewrite = "\x1b[1A\x1b[K";

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

// Width and height from a PNG header; none for anything else.
std::optional<std::pair<unsigned, unsigned>> pngSize(const fs::path& file) {
    const std::string bytes = readFile(file);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return std::nullopt;
    auto be32 = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return std::make_pair(be32(16), be32(20));
}

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

// The names in a folder, sorted.
std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
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

    // Settings and data in the scratch folder; a run that needs a window it does not have must end, not wait.
    ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& argv0 = {}) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = work_;
        options.xdgRoot = dir_ / "xdg";
        options.outFile = dir_ / "stdout.txt";
        options.errFile = dir_ / "stderr.txt";
        options.argv0 = argv0;
        return gwtest::runProgram(program, arguments, options);
    }

    ProgramRun glyphwright(const std::vector<std::string>& arguments) const {
        return runProgram(GW_GLYPHWRIGHT_PATH, arguments);
    }

    void grant(const fs::path& folder) const {
        const auto run = runProgram(GW_GRANT_ROOT_PATH, {folder.string()});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    void grant() const { grant(work_); }

    // A successful conversion: status 0, the starting line replaced by progress lines
    // that end at 100%, one line per written folder, the green final line.
    static void expectCompleted(const ProgramRun& run, const std::vector<std::string>& catalogs) {
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const auto lines = run.outLines();
        ASSERT_GE(lines.size(), 3u) << run.out;
        EXPECT_EQ(lines.front(), kReset + "Conversion starting");
        EXPECT_EQ(lines.back(), kReset);
        std::vector<std::string> created;
        std::string lastProgress;
        const std::regex progress(R"(^(\x1b\[1A\x1b\[K)?(\d+\.\d+)% complete$)");
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            std::smatch match;
            if (std::regex_match(lines[i], match, progress)) {
                lastProgress = match[2];
            } else {
                const std::string prefix = kReset + "Catalog created at: ";
                ASSERT_EQ(lines[i].rfind(prefix, 0), 0u) << "unexpected line: " << lines[i];
                created.push_back(lines[i].substr(prefix.size()));
            }
        }
        EXPECT_EQ(lastProgress, "100.0");
        EXPECT_EQ(created, catalogs);
        EXPECT_TRUE(run.err.ends_with(kGreen + "Conversion Complete\n")) << run.err;
        // Anything else on standard error is a yellow warning line.
        std::istringstream err(run.err);
        for (std::string line; std::getline(err, line);) {
            if (line == kGreen + "Conversion Complete") continue;
            EXPECT_EQ(line.rfind(kYellow + "Warning: ", 0), 0u) << line;
        }
    }

    // A run refused with a red message on standard error, status 1, and the colours
    // reset afterwards.
    static void expectRefused(const ProgramRun& run, const std::string& message) {
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_EQ(run.err, kRed + message + "\n");
        EXPECT_EQ(run.out, kReset + "\n") << message;
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
    ASSERT_EQ(lines.size(), 38u);
    EXPECT_EQ(lines[2].rfind(kReset + "'tool' inputPath <path> outputPath <path>", 0), 0u) << lines[2];
    for (const auto& line : lines) EXPECT_EQ(line.rfind(kReset, 0), 0u) << line;
}

TEST_F(CommandLine, WithoutAnyOptionTheWindowProgramTakesOverAndRefusesWithoutADisplay) {
    grant();
    // Another case or two dashes are no option.
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"--help"}, {"-Help"}, {"-inputpath", "icon.svg"}, {"icon.svg"}}) {
        const auto run = glyphwright(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("there is no display to open the window on"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));
}

TEST_F(CommandLine, WithoutAGrantedRootFolderNothingIsConverted) {
    // Never granted: the sandbox text, status 1, even for an option without a value.
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"-inputPath", "icon.svg"}, {"-inputPath"}}) {
        expectRefused(glyphwright(arguments), kSandboxText);
    }
    EXPECT_FALSE(fs::exists(work_ / "Assets.xcassets"));

    // A grant whose folder is gone no longer counts.
    fs::create_directories(dir_ / "gone");
    grant(dir_ / "gone");
    fs::remove(dir_ / "gone");
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), kSandboxText);

    // A grant of something that is no folder is refused by the tool.
    const auto refused = runProgram(GW_GRANT_ROOT_PATH, {(work_ / "icon.svg").string()});
    EXPECT_NE(refused.status, 0);
    expectRefused(glyphwright({"-inputPath", "icon.svg"}), kSandboxText);

    grant();
    expectCompleted(glyphwright({"-inputPath", "icon.svg"}), {(work_ / "Assets.xcassets").string()});
}

// --- bad options -------------------------------------------------------------------------

TEST_F(CommandLine, BadOptionsAndUnreadablePicturesAreRefusedWithStatusOne) {
    grant();
    writeFile(work_ / "broken.png", "this is not a picture");
    writeFile(work_ / "broken.svg", "<svg");
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string unable = "Unable to open images at file://";
    const std::vector<Case> cases = {
        {{"-inputPath"}, "Unable to understand the inputPath"},
        {{"-outputPath", "out"}, "Please specify the inputPath"},
        {{"-inputPath", "icon.svg", "-outputPath"}, "Unable to understand the outputPath"},
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
        const std::string first = kRed + unable + (work_ / name).string() + "\n";
        ASSERT_EQ(run.err.rfind(first, 0), 0u) << run.err;
        const std::string reason = run.err.substr(first.size());
        EXPECT_GT(reason.size(), 20u) << reason;
        EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
        EXPECT_EQ(reason.find("gw."), std::string::npos) << reason;
        EXPECT_EQ(reason.find("Error "), std::string::npos) << reason;
        EXPECT_EQ(run.out, kReset + "\n");
    }
    EXPECT_EQ(namesIn(work_), (std::set<std::string>{"broken.png", "broken.svg", "icon.svg", "pictures"}));
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

TEST_F(CommandLine, ReadinessWarningsAreShownInYellowBeforeTheRunGoesOn) {
    grant();
    const auto run = glyphwright({"-inputPath", "icon.svg", "-assetType", "iOSSplash"});
    expectCompleted(run, {(work_ / "Assets.xcassets").string()});
    EXPECT_EQ(run.err.rfind(kYellow + "Warning: Image variants mode is recommended for this output type.\n", 0), 0u)
        << run.err;
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

TEST_F(CommandLine, OptionsAreLookedUpAtTheirFirstOccurrenceAndTakeTheNextArgumentAsTheirValue) {
    grant();
    // The first -inputPath counts; "-outputPath -assetType asset" writes into a folder
    // named -assetType, and -assetType still takes "asset".
    const auto run = glyphwright(
        {"-inputPath", "icon.svg", "-outputPath", "-assetType", "asset", "-inputPath", "pictures/large.svg"});
    expectCompleted(run, {(work_ / "-assetType/Assets.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "-assetType/Assets.xcassets"), (std::set<std::string>{"Contents.json", "icon.imageset"}));
}

// --- an existing catalog --------------------------------------------------------------

class ExistingCatalog : public CommandLine {
protected:
    // A catalog from an earlier run: another asset, and an icon set with a stale picture.
    void SetUp() override {
        CommandLine::SetUp();
        grant();
        catalog_ = work_ / "out/Assets.xcassets";
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
TEST_F(ExistingCatalog, TheCatalogActionDecidesWhatHappensToTheCatalog) {
    // The default replaces the whole catalog.
    expectCompleted(convert({}), {catalog_.string()});
    EXPECT_EQ(namesIn(catalog_), (std::set<std::string>{"AppIcon.appiconset", "Contents.json"}));
    EXPECT_FALSE(fs::exists(catalog_ / "AppIcon.appiconset/stale.svg"));
    EXPECT_EQ(expectListedFilesExist(catalog_), 18);
}

TEST_F(ExistingCatalog, IncrementWritesANewCatalogBesideTheOldOne) {
    expectCompleted(convert({"-assetCatalogExistsAction", "increment"}), {(work_ / "out/Assets1.xcassets").string()});
    EXPECT_EQ(namesIn(work_ / "out"), (std::set<std::string>{"Assets.xcassets", "Assets1.xcassets"}));
    EXPECT_EQ(namesIn(catalog_ / "AppIcon.appiconset"), (std::set<std::string>{"stale.svg"}));
    EXPECT_EQ(expectListedFilesExist(work_ / "out/Assets1.xcassets"), 18);
}

TEST_F(ExistingCatalog, AppendKeepsTheOtherAssetsOfTheCatalog) {
    expectCompleted(convert({"-assetCatalogExistsAction", "append"}), {catalog_.string()});
    EXPECT_EQ(namesIn(catalog_), (std::set<std::string>{"AppIcon.appiconset", "Contents.json", "Other.imageset"}));
    EXPECT_TRUE(fs::exists(catalog_ / "Other.imageset/other.svg"));
    // The icon set itself follows -assetExistsAction, overwrite by default.
    EXPECT_FALSE(fs::exists(catalog_ / "AppIcon.appiconset/stale.svg"));
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

TEST_F(ExistingCatalog, AFolderThatFailsIsReportedAndTheRunEndsWithStatusOne) {
    // A file where the icon set folder has to go.
    fs::remove_all(catalog_ / "AppIcon.appiconset");
    writeFile(catalog_ / "AppIcon.appiconset", "in the way");
    const auto run = convert({"-assetCatalogExistsAction", "append"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(kReset + "Catalog creation failed. Error "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Catalog created at: "), std::string::npos) << run.out;
    // The final line still comes, after every folder's line, in red.
    EXPECT_EQ(run.err, kRed + "Conversion Complete\n");
    EXPECT_EQ(run.out.substr(run.out.size() - kReset.size() - 1), kReset + "\n");
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
        EXPECT_EQ(run.err, kRed + refusal(c.refused) + "\n");
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
        const std::string expected = kRed + "The settings file " + settings.string() + " could not be read: ";
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
    writeFile(settings, gwtest::nestedBinaryPlist(300'000));
    const auto repaired = runProgram(GW_GRANT_ROOT_PATH, {work_.string()});
    EXPECT_EQ(repaired.status, 0) << repaired.err;
    EXPECT_NE(repaired.err.find("it was moved to " + settings.string() + ".corrupt"), std::string::npos)
        << repaired.err;
    expectCompleted(glyphwright({"-inputPath", "icon.svg"}), {(work_ / "Assets.xcassets").string()});

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
