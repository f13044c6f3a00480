#pragma once
// Runs of the built glyphwright over catalogs on disk, for the tests of what a run leaves
// behind when it fails, is killed or meets another run: the program as a child process
// with no display and its settings in a scratch folder, pictures made on the spot, and
// catalog folders compared file by file.
#include "platform/foundation/scratch_mounts.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>


namespace gwtest {

namespace fs = std::filesystem;

// A PNG of one colour, or of opaque noise, stored without compression.
inline std::string solidPNG(unsigned width, unsigned height, std::array<unsigned char, 4> rgba, bool noisy = false) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    auto crc = [&](const std::string& bytes) {
        std::uint32_t c = 0xFFFFFFFFu;
        for (const unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
        return c ^ 0xFFFFFFFFu;
    };
    auto be32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    };
    auto chunk = [&](const std::string& type, const std::string& data) {
        return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc(type + data));
    };
    std::string raw;
    std::uint32_t noise = 12345;
    for (unsigned y = 0; y < height; ++y) {
        raw.push_back('\0');
        for (unsigned x = 0; x < width; ++x) {
            if (!noisy) {
                raw.append(reinterpret_cast<const char*>(rgba.data()), 4);
                continue;
            }
            // Pixels that no encoder can pack: a fixed-seed linear congruential sequence.
            for (int k = 0; k < 3; ++k) {
                noise = noise * 1664525u + 1013904223u;
                raw.push_back(static_cast<char>(noise >> 24));
            }
            raw.push_back('\xff');
        }
    }
    // zlib stream of stored blocks, then the Adler-32 of the data.
    std::string z = "\x78\x01";
    for (std::size_t at = 0; at < raw.size() || raw.empty(); at += 65535) {
        const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(65535, raw.size() - at));
        const bool last = at + length >= raw.size();
        z.push_back(last ? '\1' : '\0');
        z.push_back(static_cast<char>(length & 0xFF));
        z.push_back(static_cast<char>(length >> 8));
        z.push_back(static_cast<char>(~length & 0xFF));
        z.push_back(static_cast<char>((~length >> 8) & 0xFF));
        z.append(raw, at, length);
        if (last) break;
    }
    std::uint32_t a = 1, b = 0;
    for (const unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    z += be32((b << 16) | a);
    const std::string header = be32(width) + be32(height) + std::string("\x08\x06\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", z) + chunk("IEND", "");
}

// Width and height from a PNG file's header; none for anything else.
inline std::optional<std::pair<unsigned, unsigned>> pngSize(const fs::path& file) {
    std::array<unsigned char, 24> head{};
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(head.data()), head.size()) || std::memcmp(&head[1], "PNG", 3) != 0) {
        return std::nullopt;
    }
    auto be32 = [&](std::size_t at) {
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | head[at + i];
        return value;
    };
    return std::make_pair(be32(16), be32(20));
}

// Every regular file below `folder` by its relative path, with its bytes.
using FolderSnapshot = std::map<std::string, std::string>;

inline FolderSnapshot snapshot(const fs::path& folder) {
    FolderSnapshot files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = readFile(entry.path());
    }
    return files;
}

// Each visible folder of a catalog, by name.
inline std::map<std::string, FolderSnapshot> catalogSnapshot(const fs::path& catalog) {
    std::map<std::string, FolderSnapshot> folders;
    for (const auto& entry : fs::directory_iterator(catalog)) {
        const auto name = entry.path().filename().string();
        if (entry.is_directory() && name.front() != '.') folders[name] = snapshot(entry.path());
    }
    return folders;
}

// The hidden entries anywhere below `folder`.
inline std::vector<std::string> hiddenEntries(const fs::path& folder) {
    std::vector<std::string> found;
    if (!fs::is_directory(folder)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.') found.push_back(entry.path().string());
    }
    return found;
}

// A small file system of its own (`type`, mounted with `options`), where the test may mount
// one (as the superuser), gone with the test however it ends.
using ScratchDisk = ScratchMount;

// An exFAT file system of its own, in an image file, mounted through FUSE on a loop device
// where the test may (as the superuser, with the exFAT tools and /dev/fuse): files are copied
// there, never linked, times are kept in whole seconds, and folders are numbered afresh at
// each mount. Gone at the end, also when the test is killed (see scratch_mounts.hpp).
class ExfatDisk {
public:
    explicit ExfatDisk(const fs::path& where) : where_(where), image_(where.string() + ".img") {
        fs::create_directories(where_);
        why_ = ownMountNamespace();
        if (!why_.empty()) return;
        if (::access("/usr/sbin/mount.exfat-fuse", X_OK) != 0) {
            why_ = "/usr/sbin/mount.exfat-fuse is not installed";
            return;
        }
        why_ = makeImage(image_, std::uintmax_t{64} << 20, "/usr/sbin/mkfs.exfat", {});
        if (why_.empty()) mount();
    }
    ~ExfatDisk() { unmount(); }
    ExfatDisk(const ExfatDisk&) = delete;
    ExfatDisk& operator=(const ExfatDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    // Unmounted and mounted again, as after unplugging the disk.
    void remount() {
        unmount();
        mount();
    }

private:
    void mount() {
        LoopDevice device(image_);
        if (!device.attached()) {
            why_ = device.why();
            return;
        }
        ProgramOptions options;
        options.outFile = options.errFile = image_.string() + ".out";
        options.workingDirectory = where_.parent_path();
        // The daemon holds the device from now on, until it ends with the mount.
        mounted_ = runProgram("/usr/sbin/mount.exfat-fuse", {device.path(), where_.string()}, options).status == 0;
        why_ = mounted_ ? std::string() : "mount.exfat-fuse failed: " + readFile(image_.string() + ".out");
    }
    void unmount() {
        if (mounted_ && ::umount2(where_.c_str(), 0) != 0) ::umount2(where_.c_str(), MNT_DETACH);
        mounted_ = false;
    }

    fs::path where_;
    fs::path image_;
    std::string why_;
    bool mounted_ = false;
};

using gwtest::ProgramRun;

class CatalogRuns : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = dir_.path() / "work";
        fs::create_directories(work_);
        fs::create_directories(dir_.path() / "xdg");
        const auto granted = run(GW_GRANT_ROOT_PATH, {work_.string()});
        ASSERT_EQ(granted.status, 0) << granted.err;
    }

    // Each run keeps its output in files named by its tag.
    gwtest::ProgramOptions options(const std::string& tag) const {
        gwtest::ProgramOptions options;
        options.workingDirectory = work_;
        options.xdgRoot = dir_.path() / "xdg";
        options.outFile = dir_.path() / (tag + ".out");
        options.errFile = dir_.path() / (tag + ".err");
        return options;
    }

    // Starts the program; the caller waits for it with finish().
    pid_t start(const std::string& program, const std::vector<std::string>& arguments, const std::string& tag) const {
        return gwtest::startProgram(program, arguments, options(tag));
    }

    ProgramRun finish(pid_t pid, const std::string& tag) const { return gwtest::finishProgram(pid, options(tag)); }

    ProgramRun run(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& tag = "run") const {
        return finish(start(program, arguments, tag), tag);
    }

    ProgramRun glyphwright(const std::vector<std::string>& arguments, const std::string& tag = "run") const {
        return run(GW_GLYPHWRIGHT_PATH, arguments, tag);
    }

    // Grants `work` (gw-grant-root); the options of runs in it.
    gwtest::ProgramOptions grantedOptions(const fs::path& work, const std::string& tag) const {
        EXPECT_EQ(run(GW_GRANT_ROOT_PATH, {work.string()}).status, 0);
        auto options = this->options(tag);
        options.workingDirectory = work;
        return options;
    }

    // `count` pictures "pic00.png"... in `folder` below the work folder, each its own
    // colour, shifted by `shade` so that two sets of the same names differ.
    void makePictures(const std::string& folder, int count, unsigned char shade) const {
        fs::create_directories(work_ / folder);
        for (int i = 0; i < count; ++i) {
            const auto name = pictureName(i);
            writeFile(work_ / folder / name,
                      solidPNG(48, 48, {static_cast<unsigned char>(i * 6), shade, static_cast<unsigned char>(255 - i), 255}));
        }
    }
    static std::string pictureName(int i) { return std::string("pic") + (i < 10 ? "0" : "") + std::to_string(i) + ".png"; }

    // A batch of image sets from `folder` into the catalog `catalog` (relative to the work
    // folder); the output lies inside the catalog, so the catalog is always kept and each
    // image set of the same name is replaced, whichever option answers for which.
    static std::vector<std::string> batchInto(const std::string& folder, const std::string& catalog) {
        return {"-inputPath", folder, "-outputPath", catalog, "-assetType", "asset", "-collectionType", "batch",
                "-assetExistsAction", "overwrite", "-assetCatalogExistsAction", "overwrite"};
    }

    TempDir dir_;
    fs::path work_;
};

}  // namespace gwtest
