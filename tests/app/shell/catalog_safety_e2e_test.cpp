// What a run leaves in a catalog when it cannot write everything, when the names it
// would write cannot be written, and when another run writes into the same catalog.
#include "app/shell/catalog_run_support.hpp"

#include <nlohmann/json.hpp>

#include <set>

namespace {

namespace fs = std::filesystem;
using gwtest::CatalogRuns;
using gwtest::readFile;
using gwtest::writeFile;

const std::string kFailedLine = "Catalog creation failed. Error ";

// Every file each Contents.json below `catalog` names is beside it, and every PNG has
// both sides of at least one pixel. Returns how many files were named.
int expectNamedFilesWritten(const fs::path& catalog) {
    int named = 0;
    for (const auto& entry : fs::recursive_directory_iterator(catalog)) {
        if (entry.path().filename() != "Contents.json") continue;
        const auto json = nlohmann::json::parse(readFile(entry.path()));
        for (const auto& image : json.value("images", nlohmann::json::array())) {
            if (!image.contains("filename")) continue;
            ++named;
            const auto file = entry.path().parent_path() / image["filename"].get<std::string>();
            EXPECT_TRUE(fs::is_regular_file(file)) << file;
            const auto bytes = readFile(file);
            if (file.extension() != ".png") continue;
            EXPECT_GE(bytes.size(), 24u) << file;
            if (bytes.size() < 24) continue;
            auto be32 = [&](std::size_t at) {
                unsigned value = 0;
                for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
                return value;
            };
            EXPECT_GE(be32(16), 1u) << file;
            EXPECT_GE(be32(20), 1u) << file;
        }
    }
    return named;
}

TEST_F(CatalogRuns, AFullDiskLeavesTheOldCatalogWholeAndReportsTheFailure) {
    // Two megabytes: less than the icon set of a noisy picture.
    const gwtest::ScratchDisk disk(work_ / "small", "tmpfs", "size=2m");
    if (!disk.mounted()) GTEST_SKIP() << "no 2 MB tmpfs can be mounted here (needs root)";
    writeFile(work_ / "old.png", gwtest::solidPNG(64, 64, {20, 40, 60, 255}));
    // Icons of noise, 1024 px and down, cannot fit in 2 MB.
    writeFile(work_ / "noise.png", gwtest::solidPNG(1024, 1024, {}, true));
    writeFile(work_ / "fits.png", gwtest::solidPNG(64, 64, {200, 40, 60, 255}));
    // A run that could write nothing leaves nothing: neither the catalog it made nor the
    // output folder it made for it.
    for (const std::string output : {"small", "small/new"}) {
        const auto run = glyphwright({"-inputPath", "noise.png", "-outputPath", output});
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_TRUE(fs::is_empty(work_ / "small")) << output;
    }
    ASSERT_EQ(glyphwright({"-inputPath", "old.png", "-outputPath", "small"}).status, 0);
    const auto old = gwtest::snapshot(work_ / "small");
    ASSERT_FALSE(old.empty());

    // Whether the catalog or only the icon set is replaced, neither is lost.
    for (const std::string output : {"small", "small/Assets.xcassets"}) {
        const auto run = glyphwright({"-inputPath", "noise.png", "-outputPath", output});
        EXPECT_NE(run.out.find(kFailedLine), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(run.out.find("Catalog created at: "), std::string::npos) << run.out;
        EXPECT_EQ(gwtest::snapshot(work_ / "small"), old);
        EXPECT_EQ(gwtest::hiddenEntries(work_ / "small"), std::vector<std::string>{});
    }

    // Nothing of the failed runs holds space: a run that fits still completes.
    const auto run = glyphwright({"-inputPath", "fits.png", "-outputPath", "small"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(expectNamedFilesWritten(work_ / "small/Assets.xcassets"), 18);
    EXPECT_EQ(gwtest::hiddenEntries(work_ / "small"), std::vector<std::string>{});
    // A file system of its own has no Trash folder, and none is made there: the catalog
    // it replaced stays beside it, whole, and the run says so.
    std::vector<fs::path> kept;
    for (const auto& entry : fs::directory_iterator(work_ / "small")) {
        if (entry.path().filename().string().rfind("Assets (replaced ", 0) == 0) kept.push_back(entry.path());
    }
    ASSERT_EQ(kept.size(), 1u);
    gwtest::FolderSnapshot keptFiles;
    for (const auto& [path, bytes] : gwtest::snapshot(kept.front())) keptFiles["Assets.xcassets/" + path] = bytes;
    EXPECT_EQ(keptFiles, old);
    EXPECT_NE(run.out.find("The replaced " + (work_ / "small/Assets.xcassets").string() +
                           " was kept beside the new one as " + kept.front().string() +
                           " (the Trash could not take it: there is no Trash folder on the file system that holds "),
              std::string::npos)
        << run.out;
}

TEST_F(CatalogRuns, ACatalogWhoseContentsFileIsAFolderKeepsTheImageSetItWouldHaveReplaced) {
    writeFile(work_ / "logo.png", gwtest::solidPNG(48, 48, {1, 2, 3, 255}));
    writeFile(work_ / "new/logo.png", gwtest::solidPNG(48, 48, {90, 2, 3, 255}));
    ASSERT_EQ(glyphwright({"-inputPath", "logo.png", "-outputPath", "out", "-assetType", "asset"}).status, 0);
    const auto catalog = work_ / "out/Assets.xcassets";
    fs::remove(catalog / "Contents.json");
    fs::create_directory(catalog / "Contents.json");
    const auto old = gwtest::snapshot(catalog);

    const auto run = glyphwright({"-inputPath", "new/logo.png", "-outputPath", "out/Assets.xcassets", "-assetType",
                                  "asset", "-assetExistsAction", "overwrite", "-assetCatalogExistsAction", "overwrite"});
    EXPECT_NE(run.out.find(kFailedLine), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(gwtest::snapshot(catalog), old);
    EXPECT_TRUE(fs::is_directory(catalog / "Contents.json"));
    EXPECT_EQ(gwtest::hiddenEntries(work_ / "out"), std::vector<std::string>{});
}

// Names the file system cannot take, and pictures with a side that would round to
// nothing: either every file a Contents.json names is written, or the run is refused
// before anything is.
TEST_F(CatalogRuns, EveryNamedFileIsWrittenOrTheNameIsRefusedBeforeAnything) {
    struct Case {
        std::string stem;
        unsigned width, height;
        bool written;
    };
    const std::vector<Case> cases{
        {"thin", 40, 1, true},
        {"tall", 1, 40, true},
        {std::string(200, 'n'), 48, 48, true},
        {std::string(240, 'n'), 48, 48, false},
        {std::string(245, 'n'), 48, 48, false},
        {std::string(251, 'n'), 48, 48, false},
        {"bad\xff\xfename", 48, 48, false},
        {"half\xc3", 48, 48, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stem.size() > 40 ? std::to_string(c.stem.size()) + " bytes" : c.stem);
        const auto input = work_ / (c.stem + ".png");
        writeFile(input, gwtest::solidPNG(c.width, c.height, {10, 200, 30, 255}));
        const auto output = "out" + std::to_string(index++);
        for (const auto& type : {"asset", "iOSIcon"}) {
            const auto run = glyphwright({"-inputPath", input.string(), "-outputPath", output, "-assetType", type});
            if (c.written) {
                EXPECT_EQ(run.status, 0) << run.out << run.err;
                EXPECT_GT(expectNamedFilesWritten(work_ / output / "Assets.xcassets"), 0);
                EXPECT_EQ(gwtest::hiddenEntries(work_ / output), std::vector<std::string>{});
            } else if (std::string(type) == "asset") {
                // The picture's name names the image set and its files.
                EXPECT_EQ(run.status, 1) << run.out << run.err;
                EXPECT_NE(run.err.find("Unable to create asset catalog. Error The name"), std::string::npos) << run.err;
                EXPECT_FALSE(fs::exists(work_ / output)) << output;
            } else {
                // An icon set's files are named by their slots, whatever the picture is called.
                EXPECT_EQ(run.status, 0) << run.out << run.err;
                EXPECT_EQ(expectNamedFilesWritten(work_ / output / "Assets.xcassets"), 18);
            }
        }
    }
}

TEST_F(CatalogRuns, TwoRunsIntoOneCatalogNeverMixTheirFilesInAFolder) {
    constexpr int kPictures = 12;
    makePictures("a", kPictures, 0);
    makePictures("b", kPictures, 100);
    makePictures("c", kPictures, 200);
    ASSERT_EQ(glyphwright(batchInto("a", "out")).status, 0);
    // What each run alone makes of the catalog.
    std::map<std::string, std::map<std::string, gwtest::FolderSnapshot>> alone;
    for (const std::string batch : {"b", "c"}) {
        fs::copy(work_ / "out", work_ / ("alone-" + batch), fs::copy_options::recursive);
        ASSERT_EQ(glyphwright(batchInto(batch, "alone-" + batch + "/Assets.xcassets")).status, 0);
        alone[batch] = gwtest::catalogSnapshot(work_ / ("alone-" + batch) / "Assets.xcassets");
        ASSERT_EQ(alone[batch].size(), static_cast<std::size_t>(kPictures));
    }
    for (int trial = 0; trial < 4; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const auto first = start(GW_GLYPHWRIGHT_PATH, batchInto("b", "out/Assets.xcassets"), "b");
        // Into the catalog, or into the folder that holds it (the whole catalog replaced).
        const auto second = start(GW_GLYPHWRIGHT_PATH, batchInto("c", trial % 2 ? "out" : "out/Assets.xcassets"), "c");
        EXPECT_EQ(finish(first, "b").status, 0);
        EXPECT_EQ(finish(second, "c").status, 0);
        const auto folders = gwtest::catalogSnapshot(work_ / "out/Assets.xcassets");
        EXPECT_EQ(folders.size(), static_cast<std::size_t>(kPictures));
        for (const auto& [name, files] : folders) {
            EXPECT_TRUE(files == alone["b"][name] || files == alone["c"][name]) << name << " mixes both runs";
        }
        EXPECT_EQ(gwtest::hiddenEntries(work_ / "out"), std::vector<std::string>{});
    }
}

}  // namespace
