#include "app/foundation/file_operations.hpp"
#include "app/foundation/folder_scanning.hpp"

#include "platform/foundation/error.hpp"
#include "platform/graphics/png_codec.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::foundation::URL;

// An opaque square of noise, so that larger pictures make larger files.
void writeNoisePng(const fs::path& path, int side) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    std::uint32_t state = 0x12345678u + static_cast<std::uint32_t>(side);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        pixels[i] = (i % 4 == 3) ? 0xFF : static_cast<std::uint8_t>(state >> 24);
    }
    const auto png = platform::graphics::encodePng({pixels.data(), side, side, side * 4}, false);
    ASSERT_FALSE(png.empty());
    gwtest::writeFile(path, std::string(png.begin(), png.end()));
}

void writeBytes(const fs::path& path, std::size_t size) { gwtest::writeFile(path, std::string(size, 'x')); }

std::vector<std::string> relativePaths(const std::set<URL>& urls, const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& url : urls) out.push_back(fs::relative(url.fsPath(), root).string());
    return out;
}

TEST(FolderScanning, FindsSupportedFilesButNotHiddenOnes) {
    gwtest::TempDir dir;
    writeBytes(dir / "a.png", 1);
    writeBytes(dir / ".b.png", 1);
    writeBytes(dir / ".hidden/c.png", 1);
    writeBytes(dir / "sub/deeper/d.svg", 1);
    writeBytes(dir / "Pack.bundle/e.pdf", 1);
    writeBytes(dir / "notes.txt", 1);

    const auto found = gw::imageFileURLs(URL::fileURL(dir.path()));
    EXPECT_EQ(relativePaths(found, dir.path()),
              (std::vector<std::string>{"Pack.bundle/e.pdf", "a.png", "sub/deeper/d.svg"}));
}

TEST(FolderScanning, ExtensionsMatchWithoutRegardToCase) {
    gwtest::TempDir dir;
    for (const char* name : {"icon.PNG", "icon.tif", "icon.tiff", "icon.svg", "icon.jpeg", "icon.jpg", "icon.psd",
                             "icon.bmp", "icon.gif", "icon.Pdf", "png", "icon.png.bak"}) {
        writeBytes(dir / name, 1);
    }
    EXPECT_EQ(relativePaths(gw::imageFileURLs(URL::fileURL(dir.path())), dir.path()),
              (std::vector<std::string>{"icon.PNG", "icon.Pdf", "icon.bmp", "icon.gif", "icon.jpeg", "icon.jpg",
                                        "icon.psd", "icon.svg", "icon.tiff"}));
    EXPECT_TRUE(gw::isSupportedImageFileExtension("JPG"));
    EXPECT_FALSE(gw::isSupportedImageFileExtension("TIF"));
    EXPECT_EQ(gw::supportedImageFileExtensions(),
              (std::vector<std::string>{"psd", "png", "jpg", "jpeg", "bmp", "gif", "pdf", "tiff", "svg"}));
}

TEST(FolderScanning, MissingFolderAndLinkLoopsGiveNoErrorAndEnd) {
    gwtest::TempDir dir;
    EXPECT_TRUE(gw::imageFileURLs(URL::fileURL(dir / "absent", true)).empty());

    writeBytes(dir / "tree/a.png", 1);
    fs::create_directory_symlink(dir / "tree", dir / "tree/loop");
    fs::create_symlink(dir / "nowhere.png", dir / "tree/dangling.png");
    // A link to nothing is passed over, and the handler is told which and why.
    std::vector<std::string> skipped;
    gw::setSkippedPictureHandler([&](const URL& url, const std::string& why) {
        skipped.push_back(url.lastPathComponent());
        EXPECT_NE(why.find("dangling.png"), std::string::npos) << why;
    });
    const auto found = gw::imageFileURLs(URL::fileURL(dir / "tree"));
    gw::setSkippedPictureHandler(nullptr);
    EXPECT_EQ(relativePaths(found, dir / "tree"), (std::vector<std::string>{"a.png"}));
    EXPECT_EQ(skipped, (std::vector<std::string>{"dangling.png"}));
}

TEST(FolderScanning, UnreadableSubfolderIsPassedOver) {
    if (!gwtest::runWherePermissionsBind()) return;
    gwtest::TempDir dir;
    writeBytes(dir / "a.png", 1);
    writeBytes(dir / "locked/b.png", 1);
    fs::permissions(dir / "locked", fs::perms::none);
    const auto found = gw::imageFileURLs(URL::fileURL(dir.path()));
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(relativePaths(found, dir.path()), (std::vector<std::string>{"a.png"}));
}

TEST(FolderScanning, LargestFirstWithEqualSizesInNameOrder) {
    gwtest::TempDir dir;
    writeBytes(dir / "one/small.png", 10 * 1024);
    writeBytes(dir / "one/large.png", 50 * 1024);
    writeBytes(dir / "two/middle.png", 30 * 1024);
    writeBytes(dir / "two/b.png", 5);
    writeBytes(dir / "two/a.png", 5);

    const auto sorted = gw::imageFileURLsLargestFirst(URL::fileURL(dir.path()));
    std::vector<std::string> names;
    for (const auto& url : sorted) names.push_back(url.lastPathComponent());
    EXPECT_EQ(names, (std::vector<std::string>{"large.png", "middle.png", "small.png", "a.png", "b.png"}));

    EXPECT_TRUE(gw::isFileLarger(URL::fileURL(dir / "one/large.png"), URL::fileURL(dir / "two/middle.png")));
    EXPECT_FALSE(gw::isFileLarger(URL::fileURL(dir / "two/middle.png"), URL::fileURL(dir / "one/large.png")));
    EXPECT_FALSE(gw::isFileLarger(URL::fileURL(dir / "two/a.png"), URL::fileURL(dir / "two/b.png")));
}

TEST(FolderScanning, OnePicturePerFolderLargestFirst) {
    gwtest::TempDir dir;
    writeNoisePng(dir / "one/small.png", 16);
    writeNoisePng(dir / "one/large.png", 64);
    writeNoisePng(dir / "two/middle.png", 32);
    writeBytes(dir / "three/broken.png", 40000);  // the largest file of all, but no picture
    writeNoisePng(dir / "three/tiny.png", 8);
    ASSERT_GT(fs::file_size(dir / "one/large.png"), fs::file_size(dir / "two/middle.png"));
    ASSERT_GT(fs::file_size(dir / "two/middle.png"), fs::file_size(dir / "one/small.png"));

    const auto images = gw::imagesInFolder(URL::fileURL(dir.path()));
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0]->size().width, 64);
    EXPECT_EQ(images[1]->size().width, 32);
    EXPECT_EQ(images[2]->size().width, 8) << "a file that does not load leaves its folder to the next one";

    // A limit keeps the first pictures of the same order; a file that does not load is not counted.
    for (std::size_t limit : {0u, 1u, 2u, 3u, 9u}) {
        SCOPED_TRACE(limit);
        const auto first = gw::imagesInFolder(URL::fileURL(dir.path()), limit);
        ASSERT_EQ(first.size(), std::min<std::size_t>(limit, 3));
        for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i]->size(), images[i]->size());
    }

    // The largest file is the broken one: no picture, and no smaller one is tried.
    EXPECT_EQ(gw::firstImage(URL::fileURL(dir.path())), nullptr);
    EXPECT_EQ(gw::firstImage(URL::fileURL(dir / "one"))->size().width, 64);
    EXPECT_EQ(gw::firstImage(URL::fileURL(dir / "empty", true)), nullptr);
    EXPECT_TRUE(gw::imagesInFolder(URL::fileURL(dir / "empty", true)).empty());
}

TEST(FolderScanning, SizeOfAMissingFileIsAnError) {
    gwtest::TempDir dir;
    writeBytes(dir / "a.png", 3);
    EXPECT_THROW(gw::isFileLarger(URL::fileURL(dir / "gone.png", false), URL::fileURL(dir / "a.png")),
                 platform::foundation::Error);
    EXPECT_THROW(gw::isFileLarger(URL::fileURL(dir / "a.png"), URL::fileURL(dir / "gone.png", false)),
                 platform::foundation::Error);
}

TEST(FolderScanning, DanglingLinkDoesNotSpoilTheScan) {
    gwtest::TempDir dir;
    writeNoisePng(dir / "real.png", 16);
    fs::create_symlink(dir / "nowhere.png", dir / "dangling.png");
    const auto sorted = gw::imageFileURLsLargestFirst(URL::fileURL(dir.path()));
    ASSERT_EQ(sorted.size(), 1u);
    EXPECT_EQ(sorted.front().lastPathComponent(), "real.png");
    const auto images = gw::imagesInFolder(URL::fileURL(dir.path()));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images.front()->size().width, 16);
}

TEST(FileOperations, TemporaryFoldersAreNewAndEmpty) {
    gwtest::TempDir dir;
    gwtest::ScopedEnv tmp("TMPDIR", dir.path().string());
    const URL first = gw::temporaryFolderURL();
    const URL second = gw::temporaryFolderURL();
    EXPECT_NE(first, second);
    for (const auto& url : {first, second}) {
        EXPECT_TRUE(fs::is_directory(url.fsPath()));
        EXPECT_TRUE(fs::is_empty(url.fsPath()));
        EXPECT_EQ(url.fsPath().parent_path(), dir.path());
        EXPECT_EQ(url.absoluteString().back(), '/');
        const std::string name = url.lastPathComponent();
        EXPECT_EQ(name.size(), 36u);
        EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](char c) { return c >= 'a' && c <= 'z'; })) << name;
    }
}

TEST(FileOperations, TemporaryFolderCreationFailureIsThrown) {
    gwtest::TempDir dir;
    gwtest::writeFile(dir / "file", "not a folder");
    gwtest::ScopedEnv tmp("TMPDIR", (dir / "file").string());
    EXPECT_THROW(gw::temporaryFolderURL(), std::exception);
}

TEST(FileOperations, SanitizedNamesStayInsideTheirFolder) {
    EXPECT_EQ(gw::sanitizedPathComponent("Logo"), "Logo");
    EXPECT_EQ(gw::sanitizedPathComponent("Icône 2"), "Icône 2");
    EXPECT_EQ(gw::sanitizedPathComponent("a..b"), "a..b");
    EXPECT_EQ(gw::sanitizedPathComponent("../../etc/passwd"), "..-..-etc-passwd");
    EXPECT_EQ(gw::sanitizedPathComponent("/abs"), "-abs");
    EXPECT_EQ(gw::sanitizedPathComponent("back\\slash"), "back-slash");
    EXPECT_EQ(gw::sanitizedPathComponent(std::string("tab\there\nnul\0x\x7f", 15)), "tabherenulx");
    // C1 controls go as C0 ones do; the letters around them, and U+00A0, stay.
    EXPECT_EQ(gw::sanitizedPathComponent("c1\u0085\u009b2J\u00a0\u00e9"), "c12J\u00a0\u00e9");
    EXPECT_EQ(gw::sanitizedPathComponent(".."), "_");
    EXPECT_EQ(gw::sanitizedPathComponent("."), "_");
    EXPECT_EQ(gw::sanitizedPathComponent(""), "_");
    EXPECT_EQ(gw::sanitizedPathComponent(".\n."), "_");

    gwtest::TempDir dir;
    for (const std::string name : {"../x", "..", "a/../../b", "/", "\x01..\x02"}) {
        const fs::path joined = (dir.path() / gw::sanitizedPathComponent(name)).lexically_normal();
        EXPECT_EQ(joined.parent_path(), dir.path()) << name;
    }
}

}  // namespace
