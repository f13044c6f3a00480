// The largest pictures the limits allow (8192 x 8192, 2^26 pixels), converted by the
// built command line as a user runs it: a tvOS stack of three such layers, an image-set
// batch of three, one image set and an iOS icon set. Each conversion is whole and its
// process never holds a GiB. The pictures are photo-like noise stored uncompressed, so
// their files are as large as their pixels; the image sets are made of noise that
// compresses quickly, since encoding 8192 px noise takes most of a minute.
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using gwtest::ProgramRun;

constexpr int kSide = 8192;
// The whole process, as the README says of every conversion of pictures within the limits.
constexpr long kBudgetKiB = 1L << 20;

// An RGB picture of kSide x kSide in a PNG stored without compression: gradients under
// strong per-pixel noise, like a photo at its worst for a compressor; or (`streaks`) one
// row of noise moved on by a pixel at every row, which a compressor matches at once.
void writePicture(const fs::path& path, unsigned seed, bool streaks) {
    const std::size_t rowBytes = std::size_t(kSide) * 3;
    std::vector<std::uint8_t> rows((rowBytes + 1) * kSide);
    std::uint32_t state = seed * 2654435761u + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::vector<std::uint8_t> streak(rowBytes);
    for (auto& byte : streak) byte = std::uint8_t(next());
    for (std::size_t y = 0; y < std::size_t(kSide); ++y) {
        std::uint8_t* row = &rows[y * (rowBytes + 1) + 1];
        for (std::size_t x = 0; x < rowBytes; ++x) {
            if (streaks) {
                row[x] = streak[(x + 3 * y) % rowBytes];
                continue;
            }
            const int base = x % 3 == 0 ? 40 + int(150 * x / rowBytes) : x % 3 == 1 ? 70 + int(120 * y / kSide) : 120;
            row[x] = std::uint8_t(std::clamp(base + int(next() % 61) - 30, 0, 255));
        }
    }
    uLongf packedSize = compressBound(uLong(rows.size()));
    std::vector<std::uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, rows.data(), uLong(rows.size()), Z_NO_COMPRESSION);
    std::ofstream file(path, std::ios::binary);
    auto be32 = [&](std::uint32_t word) {
        const char bytes[4] = {char(word >> 24), char(word >> 16), char(word >> 8), char(word)};
        file.write(bytes, 4);
    };
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& body) {
        be32(std::uint32_t(body.size()));
        file.write(type, 4);
        file.write(reinterpret_cast<const char*>(body.data()), long(body.size()));
        auto crc = ::crc32(0, reinterpret_cast<const Bytef*>(type), 4);
        // zlib takes no bytes at all for the start of a checksum.
        if (!body.empty()) crc = ::crc32(crc, body.data(), uInt(body.size()));
        be32(std::uint32_t(crc));
    };
    file.write("\x89PNG\r\n\x1a\n", 8);
    chunk("IHDR", {0, 0, kSide >> 8, kSide & 0xFF, 0, 0, kSide >> 8, kSide & 0xFF, 8, 2, 0, 0, 0});
    packed.resize(packedSize);
    chunk("IDAT", packed);
    chunk("IEND", {});
}

// The pixel size a PNG file's header gives.
std::array<std::uint32_t, 2> pngSize(const fs::path& path) {
    std::array<std::uint8_t, 24> head{};
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head.data()), long(head.size()));
    auto be32 = [&](std::size_t at) {
        return std::uint32_t(head[at]) << 24 | std::uint32_t(head[at + 1]) << 16 | std::uint32_t(head[at + 2]) << 8 |
               head[at + 3];
    };
    return {be32(16), be32(20)};
}

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

    void write(const std::string& name, unsigned seed, bool streaks) const {
        fs::create_directories((work() / name).parent_path());
        writePicture(work() / name, seed, streaks);
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
    write("layers/1 front.png", 1, false);
    write("layers/2 middle.png", 2, false);
    write("layers/3 back.png", 3, false);
    const auto run = convert("layers", "stack", {"-assetType", "tvOSIcon", "-collectionType", "variants"});
    const auto written = expectConverted(run, "stack", 9);
    // The App Store stack's layers fill its height; the back layer fills it all.
    int large = 0, filling = 0;
    for (const auto& file : written) {
        large += pngSize(file)[1] == 768;
        filling += pngSize(file) == std::array<std::uint32_t, 2>{1280, 768};
    }
    EXPECT_EQ(large, 3);
    EXPECT_EQ(filling, 1);
}

TEST_F(LargePictures, AnImageSetBatchOfThreeStaysUnderAGiB) {
    for (unsigned i = 0; i < 3; ++i) write("batch/photo" + std::to_string(i) + ".png", 4 + i, true);
    const auto run = convert("batch", "sets", {"-assetType", "asset", "-collectionType", "batch"});
    const auto written = expectConverted(run, "sets", 9);
    for (const auto& file : written) {
        if (file.filename().string().ends_with("@3x.png")) {
            EXPECT_EQ(pngSize(file)[0], std::uint32_t(kSide)) << file;
        }
    }
}

TEST_F(LargePictures, OneImageSetAndOneIconSetStayUnderAGiB) {
    write("photo.png", 7, true);
    write("icon.png", 8, false);
    auto written = expectConverted(convert("photo.png", "set", {"-assetType", "asset"}), "set", 3);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(pngSize(written.back())[0], std::uint32_t(kSide));
    written = expectConverted(convert("icon.png", "icons", {"-assetType", "iOSIcon"}), "icons", 18);
    std::uint32_t largest = 0;
    for (const auto& file : written) largest = std::max(largest, pngSize(file)[0]);
    EXPECT_EQ(largest, 1024u);
}

}  // namespace
