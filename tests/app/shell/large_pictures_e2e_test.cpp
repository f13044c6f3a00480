// The largest pictures the limits allow (8192 x 8192, 2^26 pixels), converted by the
// built command line as a user runs it: a tvOS stack of three such layers, an image-set
// batch of three, one image set and an iOS icon set. Each conversion is whole and its
// process never holds a GiB. The pictures are photo-like noise stored uncompressed, so
// their files are as large as their pixels; the image sets are noiseless gradients, which
// compress quickly, since encoding 8192 px noise takes most of a minute.
#include "app/shell/catalog_run_support.hpp"
#include "support/photo_like_png.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gwtest::ProgramRun;

constexpr int kSide = 8192;
// The whole process, as the README says of every conversion of pictures within the limits.
constexpr long kBudgetKiB = 1L << 20;

class LargePictures : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new gwtest::TempDir();
        fs::create_directories(dir_->path() / "work");
        const ProgramRun grant =
            gwtest::runProgram(GW_GRANT_ROOT_PATH, {(dir_->path() / "work").string()}, optionsFor(dir_->path()));
        ASSERT_EQ(grant.status, 0) << grant.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static gwtest::ProgramOptions optionsFor(const fs::path& dir) {
        gwtest::ProgramOptions options;
        options.workingDirectory = dir / "work";
        options.xdgRoot = dir / "xdg";
        options.outFile = dir / "stdout.txt";
        options.errFile = dir / "stderr.txt";
        // Only a hang is caught: how fast these run is the benchmark's business.
        options.deadline = std::chrono::seconds(480);
        return options;
    }

    fs::path work() const { return dir_->path() / "work"; }

    // `noisy` like a photograph; else a gradient, which compresses quickly.
    void write(const std::string& name, unsigned seed, bool noisy) const {
        fs::create_directories((work() / name).parent_path());
        std::ofstream(work() / name, std::ios::binary) << gwtest::photoLikePng(kSide, seed, noisy ? 6 : 0);
    }

    ProgramRun convert(const std::string& input, const std::string& output, std::vector<std::string> more) const {
        std::vector<std::string> arguments{"-inputPath", (work() / input).string(), "-outputPath",
                                           (work() / output).string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return gwtest::runProgram(GW_GLYPHWRIGHT_PATH, arguments, optionsFor(dir_->path()));
    }

    // The run ended well, within the budget, and wrote `files` PNG files; returns their
    // paths.
    std::vector<fs::path> expectConverted(const ProgramRun& run, const std::string& output, std::size_t files) const {
        EXPECT_TRUE(run.exited) << run.err;
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("Conversion Complete"), std::string::npos) << run.err;
        EXPECT_LT(run.maxResidentKiB, kBudgetKiB) << "peak " << run.maxResidentKiB / 1024 << " MiB";
        std::vector<fs::path> written;
        for (const auto& entry : fs::recursive_directory_iterator(work() / output)) {
            if (entry.path().extension() == ".png") written.push_back(entry.path());
        }
        std::sort(written.begin(), written.end());
        EXPECT_EQ(written.size(), files);
        return written;
    }

    static gwtest::TempDir* dir_;
};

gwtest::TempDir* LargePictures::dir_ = nullptr;

TEST_F(LargePictures, ATvOSStackOfThreeLayersStaysUnderAGiB) {
    write("layers/1 front.png", 1, true);
    write("layers/2 middle.png", 2, true);
    write("layers/3 back.png", 3, true);
    const auto run = convert("layers", "stack", {"-assetType", "tvOSIcon", "-collectionType", "variants"});
    const auto written = expectConverted(run, "stack", 9);
    // The App Store stack's layers fill its height; the back layer fills it all.
    int large = 0, filling = 0;
    for (const auto& file : written) {
        large += gwtest::pngSize(file)->second == 768;
        filling += gwtest::pngSize(file) == std::make_pair(1280u, 768u);
    }
    EXPECT_EQ(large, 3);
    EXPECT_EQ(filling, 1);
}

TEST_F(LargePictures, AnImageSetBatchOfThreeStaysUnderAGiB) {
    for (unsigned i = 0; i < 3; ++i) write("batch/photo" + std::to_string(i) + ".png", 4 + i, false);
    const auto run = convert("batch", "sets", {"-assetType", "asset", "-collectionType", "batch"});
    const auto written = expectConverted(run, "sets", 9);
    for (const auto& file : written) {
        if (file.filename().string().ends_with("@3x.png")) {
            EXPECT_EQ(gwtest::pngSize(file)->first, unsigned(kSide)) << file;
        }
    }
}

TEST_F(LargePictures, OneImageSetAndOneIconSetStayUnderAGiB) {
    write("photo.png", 7, false);
    write("icon.png", 8, true);
    auto written = expectConverted(convert("photo.png", "set", {"-assetType", "asset"}), "set", 3);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(gwtest::pngSize(written.back())->first, unsigned(kSide));
    written = expectConverted(convert("icon.png", "icons", {"-assetType", "iOSIcon"}), "icons", 18);
    unsigned largest = 0;
    for (const auto& file : written) largest = std::max(largest, gwtest::pngSize(file)->first);
    EXPECT_EQ(largest, 1024u);
}

}  // namespace
