#include "app/foundation/file_categories.hpp"

#include "platform/log/system_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using platform::foundation::URL;
namespace fs = std::filesystem;

std::string fileNameOf(const std::string& path) { return gw::fileName(URL::fileURL(path, false)).value_or("<none>"); }
std::string incremented(const std::string& name) {
    return gw::incrementedFileName(URL::fileURL("/work/out/" + name, false)).lastPathComponent();
}

TEST(FileName, DropsTheExtensionAndAOneDigitScaleSuffix) {
    EXPECT_EQ(fileNameOf("/a/Icon@2x.png"), "Icon");
    EXPECT_EQ(fileNameOf("/a/Icon@2x copy.png"), "Icon@2x copy");
    EXPECT_EQ(fileNameOf("/a/Icon@12x.png"), "Icon@12x");
    EXPECT_EQ(fileNameOf("/a/Icon@3x"), "Icon");
    EXPECT_EQ(fileNameOf("/a/My Logo.svg"), "My Logo");
    // Names from files are safe path components.
    EXPECT_EQ(fileNameOf("/a/bad\x01name.png"), "badname");
    EXPECT_NE(fileNameOf("/a/...png"), "..");
}

TEST(IncrementedFileName, CountsTheTrailingNumberOfTheBase) {
    std::vector<std::string> lines;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& r) { lines.push_back(r.message); });
    EXPECT_EQ(incremented("Assets.xcassets"), "Assets1.xcassets");
    EXPECT_EQ(incremented("Assets1.xcassets"), "Assets2.xcassets");
    EXPECT_EQ(incremented("Icon9.appiconset"), "Icon10.appiconset");
    EXPECT_EQ(incremented("AppIcon"), "AppIcon1.AppIcon");
    EXPECT_EQ(incremented("a.b.c"), "a1.c");
    EXPECT_EQ(incremented("99999999999999999999999.png"), "999999999999999999999991.png");
    EXPECT_EQ(lines.at(0), "No file number");
    EXPECT_EQ(lines.at(1), "Current file number: 1");
    EXPECT_EQ(lines.at(2), "Current file number: 9");
    EXPECT_EQ(gw::incrementedFileName(URL::fileURL("/work/out/Assets.xcassets", true)).path(),
              "/work/out/Assets1.xcassets");
}

TEST(NextAvailablePath, SkipsNamesThatAreTaken) {
    gwtest::TempDir dir;
    auto url = URL::fileURL(dir / "Assets.xcassets", true);
    EXPECT_EQ(gw::nextAvailablePath(url), url);
    fs::create_directory(dir / "Assets.xcassets");
    fs::create_directory(dir / "Assets1.xcassets");
    EXPECT_EQ(gw::nextAvailablePath(url).lastPathComponent(), "Assets2.xcassets");
}

TEST(SubfolderWithName, FindsTheFolderAtAnyDepth) {
    gwtest::TempDir dir;
    fs::create_directories(dir / "Assets.xcassets" / "A Group" / "Other.imageset");
    fs::create_directories(dir / "Assets.xcassets" / "Group" / "Logo.imageset");
    gwtest::writeFile(dir / "Assets.xcassets" / "Logo.imageset", "a file, not a folder");
    auto found = gw::subfolderWithName("Logo.imageset", URL::fileURL(dir / "Assets.xcassets", true));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->fsPath(), dir / "Assets.xcassets" / "Group" / "Logo.imageset");
    EXPECT_FALSE(gw::subfolderWithName("Missing", URL::fileURL(dir.path(), true)));
    EXPECT_FALSE(gw::subfolderWithName("x", URL::fileURL(dir / "nowhere", true)));
}

TEST(SafeObjectAtIndex, RefusesIndicesOutsideTheList) {
    std::vector<int> list{1, 2, 3};
    EXPECT_EQ(gw::safeObjectAtIndex(list, -1), nullptr);
    EXPECT_EQ(gw::safeObjectAtIndex(list, 3), nullptr);
    EXPECT_EQ(gw::safeObjectAtIndex(list, INT32_MAX), nullptr);
    EXPECT_EQ(*gw::safeObjectAtIndex(list, 2), 3);
}

TEST(FindOrCreateDirectory, MakesTheApplicationsFolderUnderTheDataHome) {
    gwtest::ScopedXdgHome home;
    std::string error = "stale";
    auto path = gw::findOrCreateDirectory(gw::SearchPathDirectory::applicationSupportDirectory,
                                          gw::SearchPathDomainMask::userDomainMask, "Tool", &error);
    ASSERT_TRUE(path);
    EXPECT_TRUE(fs::is_directory(*path));
    EXPECT_EQ(fs::path(*path).filename(), "Tool");
    EXPECT_TRUE(error.empty());

    auto none = gw::findOrCreateDirectory(static_cast<gw::SearchPathDirectory>(99),
                                          gw::SearchPathDomainMask::userDomainMask, std::nullopt, &error);
    EXPECT_FALSE(none);
    EXPECT_NE(error.find("No path found for directory in domain."), std::string::npos);
    EXPECT_TRUE(gw::applicationSupportDirectory());
}

}  // namespace
