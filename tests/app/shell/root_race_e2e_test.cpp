// The granted root holds while another process swaps names inside it: batches of the
// built program read and write under a narrow root while a thread of this test trades a
// folder and a link that leads outside the root (renameat2 RENAME_EXCHANGE) in a loop.
// Whatever the timing, nothing outside the root is written or renamed, no picture from
// outside is read, and no run claims what did not happen. Several runs go at once, each
// in a lane of its own, to make many runs in little time.
#include "app/shell/catalog_run_support.hpp"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>

#include <atomic>
#include <optional>
#include <sstream>

// A handful of runs by default; the long variant is built with more, under a name of
// its own.
#ifndef GW_ROOT_RACE_RUNS
#define GW_ROOT_RACE_RUNS 4
#define GW_ROOT_RACE RootRace
#else
#define GW_ROOT_RACE RootRaceSoak
#endif

namespace {

namespace fs = std::filesystem;
using gwtest::FolderSnapshot;
using gwtest::ProgramRun;
using gwtest::readFile;
using gwtest::snapshot;
using gwtest::writeFile;

constexpr int kRunsPerSide = GW_ROOT_RACE_RUNS;
constexpr int kLanes = 4;
constexpr int kPictures = 12;

std::string picture(int i) { return "p" + std::to_string(i) + ".png"; }

// From none to longer than most runs take, in steps, run after run.
std::chrono::milliseconds delay(int run) { return std::chrono::milliseconds((run * 7 % 12) * 20); }

// Trades two names in one step, again and again, until stopped; counts the trades. It
// starts after `delay`, so that runs meet it at every step, from the first check of
// their plan to the last file they write.
class Swapper {
public:
    Swapper(fs::path first, fs::path second, std::chrono::milliseconds delay)
        : first_(std::move(first)), second_(std::move(second)) {
        thread_ = std::thread([this, delay] {
            const auto start = std::chrono::steady_clock::now() + delay;
            while (!stop_ && std::chrono::steady_clock::now() < start) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            while (!stop_) {
                if (::renameat2(AT_FDCWD, first_.c_str(), AT_FDCWD, second_.c_str(), RENAME_EXCHANGE) == 0) ++swaps_;
                ::sched_yield();
            }
        });
    }
    // Stops, and leaves the two names where they started.
    int stop() {
        stop_ = true;
        thread_.join();
        if (swaps_ % 2 != 0) ::renameat2(AT_FDCWD, first_.c_str(), AT_FDCWD, second_.c_str(), RENAME_EXCHANGE);
        return swaps_;
    }

private:
    fs::path first_;
    fs::path second_;
    std::atomic<bool> stop_{false};
    int swaps_ = 0;
    std::thread thread_;
};

// Width and height from a PNG header.
std::optional<std::pair<unsigned, unsigned>> pngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return std::nullopt;
    auto be32 = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return std::make_pair(be32(16), be32(20));
}

// Every line of both streams that says nothing is written outside the root.
int claimsNothingOutside(const ProgramRun& run) {
    int claims = 0;
    std::istringstream text(run.out + run.err);
    for (std::string line; std::getline(text, line);) {
        if (line.find("nothing is written outside it") != std::string::npos) ++claims;
    }
    return claims;
}

class GW_ROOT_RACE : public gwtest::CatalogRuns {
protected:
    fs::path outside_ = dir_.path() / "outside";

    // Runs `perLane` runs in each lane at once; `run` takes the lane and the run's number.
    void inLanes(int perLane, const std::function<void(int, int)>& run) {
        std::vector<std::thread> lanes;
        for (int lane = 0; lane < kLanes; ++lane) {
            lanes.emplace_back([&, lane] {
                for (int i = 0; i < perLane; ++i) run(lane, i);
            });
        }
        for (auto& lane : lanes) lane.join();
    }
};

// A catalog from an earlier run stands beside a link to a folder outside the root, which
// holds a set of the same name as one the batch replaces; the two names trade places
// while batches add to the catalog.
TEST_F(GW_ROOT_RACE, BatchesWritingIntoACatalogSwappedWithALinkOutWriteNothingOutside) {
    const int perLane = std::max(1, kRunsPerSide / kLanes);
    std::vector<FolderSnapshot> before(kLanes);
    for (int lane = 0; lane < kLanes; ++lane) {
        const std::string w = "w" + std::to_string(lane);
        for (int i = 0; i < kPictures; ++i) {
            writeFile(work_ / w / "in" / picture(i), gwtest::solidPNG(4, 4, {200, 30, 30, 255}));
        }
        const auto first = glyphwright({"-inputPath", w + "/in", "-outputPath", w + "/o", "-assetType", "asset",
                                        "-collectionType", "batch"},
                                       w);
        ASSERT_EQ(first.status, 0) << first.out << first.err;
        writeFile(outside_ / w / "p0.imageset/Contents.json", "{}\n");
        writeFile(outside_ / w / "p0.imageset/theirs.txt", "not the program's to touch");
        fs::create_directory_symlink(outside_ / w, work_ / w / "o/.alt");
        before[lane] = snapshot(outside_ / w);
    }
    std::atomic<int> runs{0}, failed{0}, written{0}, claims{0}, swaps{0};
    inLanes(perLane, [&](int lane, int i) {
        const std::string w = "w" + std::to_string(lane);
        Swapper swapper(work_ / w / "o/Assets.xcassets", work_ / w / "o/.alt", delay(i));
        const auto run = glyphwright({"-inputPath", w + "/in", "-outputPath", w + "/o", "-assetType", "asset",
                                      "-collectionType", "batch", "-assetCatalogExistsAction", "append"},
                                     w + "-" + std::to_string(i));
        swaps += swapper.stop();
        ++runs;
        if (run.status != 0) ++failed;
        for (const auto& line : run.outLines()) written += line.rfind("Catalog created at: ", 0) == 0 ? 1 : 0;
        EXPECT_TRUE(run.exited) << run.err;
        // Nothing outside was made, renamed or removed, so every run that says so is right.
        EXPECT_EQ(snapshot(outside_ / w), before[lane]) << run.out << run.err;
        EXPECT_TRUE(fs::is_symlink(work_ / w / "o/.alt"));
        claims += claimsNothingOutside(run);
    });
    EXPECT_EQ(runs, perLane * kLanes);
    std::cout << runs << " runs writing, " << failed << " with a folder refused or failed, " << written
              << " sets written, " << claims << " refusals, " << swaps << " swaps\n";
}

// The input folder holds a folder of red square pictures and a link to a folder outside
// the root with pictures of the same names that are black and twice as high; the two
// trade places while batches read the input folder. Every set written is square.
TEST_F(GW_ROOT_RACE, BatchesReadingAFolderSwappedWithALinkOutReadNothingOutside) {
    const int perLane = std::max(1, kRunsPerSide / kLanes);
    for (int lane = 0; lane < kLanes; ++lane) {
        const std::string r = "r" + std::to_string(lane);
        for (int i = 0; i < kPictures; ++i) {
            writeFile(work_ / r / "in/sub" / picture(i), gwtest::solidPNG(4, 4, {220, 20, 20, 255}));
            writeFile(outside_ / r / picture(i), gwtest::solidPNG(4, 8, {0, 0, 0, 255}));
        }
        fs::create_directory_symlink(outside_ / r, work_ / r / "in/.alt");
    }
    const auto outsideBefore = snapshot(outside_);
    std::atomic<int> runs{0}, sets{0}, swaps{0};
    inLanes(perLane, [&](int lane, int i) {
        const std::string r = "r" + std::to_string(lane);
        fs::remove_all(work_ / r / "o");
        Swapper swapper(work_ / r / "in/sub", work_ / r / "in/.alt", delay(i));
        const auto run = glyphwright({"-inputPath", r + "/in", "-outputPath", r + "/o", "-assetType", "asset",
                                      "-collectionType", "batch"},
                                     r + "-" + std::to_string(i));
        swaps += swapper.stop();
        ++runs;
        EXPECT_TRUE(run.exited) << run.err;
        for (const auto& [file, bytes] : snapshot(work_ / r / "o")) {
            if (!file.ends_with(".png")) continue;
            ++sets;
            const auto size = pngSize(bytes);
            ASSERT_TRUE(size) << file;
            EXPECT_EQ(size->first, size->second) << file << " was drawn from a picture outside the root\n" << run.err;
        }
        // A picture passed over is named as one that leads outside, never as read.
        std::istringstream err(run.err);
        for (std::string line; std::getline(err, line);) {
            if (line.rfind("Warning: ", 0) != 0) continue;
            EXPECT_TRUE(line.find("leads outside the root folder") != std::string::npos ||
                        line.find("could not be read") != std::string::npos ||
                        line.find("under the name") != std::string::npos)
                << line;
        }
    });
    EXPECT_EQ(snapshot(outside_), outsideBefore);
    std::cout << runs << " runs reading, " << sets << " pictures written, " << swaps << " swaps\n";
}

}  // namespace
