// Recognising catalogs by path and finding them on disk.
#include "app/engine/catalog_search.hpp"
#include "platform/foundation/error.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace pf = platform::foundation;
using pf::URL;

URL folder(const std::string& path) { return URL::fileURL(path, true); }

std::vector<std::string> paths(const std::vector<URL>& urls) {
    std::vector<std::string> result;
    for (const auto& url : urls) result.push_back(url.path());
    std::sort(result.begin(), result.end());
    return result;
}

TEST(CatalogPathTests, FolderInsideACatalog) {
    const auto url = folder("/a/B.xcassets/C.imageset");
    EXPECT_FALSE(gw::isAssetCatalog(url));
    EXPECT_TRUE(gw::isInsideAssetCatalog(url));
    ASSERT_TRUE(gw::enclosingAssetCatalog(url));
    EXPECT_EQ(gw::enclosingAssetCatalog(url)->path(), "/a/B.xcassets");
}

TEST(CatalogPathTests, TheCatalogItselfIsInsideButHasNoEnclosingCatalog) {
    const auto url = folder("/a/B.xcassets");
    EXPECT_TRUE(gw::isAssetCatalog(url));
    EXPECT_TRUE(gw::isAssetCatalog(*URL::fromString("file:///a/B.xcassets/")));
    EXPECT_TRUE(gw::isInsideAssetCatalog(url));
    EXPECT_EQ(gw::enclosingAssetCatalog(url), std::nullopt);
    EXPECT_EQ(gw::enclosingAssetCatalog(*URL::fromString("file:///a/B.xcassets/")), std::nullopt);
}

TEST(CatalogPathTests, OutermostCatalogAndStickerPacks) {
    EXPECT_EQ(gw::enclosingAssetCatalog(folder("/a/X.xcassets/Y.xcassets/Z"))->path(), "/a/X.xcassets");
    EXPECT_TRUE(gw::isInsideAssetCatalog(folder("/a/S.stickerpack/T")));
    EXPECT_EQ(gw::enclosingAssetCatalog(folder("/a/S.stickerpack/T"))->path(), "/a/S.stickerpack");
    EXPECT_TRUE(gw::isAssetCatalog(folder("/a/S.stickerpack")));
    // An asset catalog wins over a sticker pack further out.
    EXPECT_EQ(gw::enclosingAssetCatalog(folder("/p.stickerpack/q.xcassets/r"))->path(), "/p.stickerpack/q.xcassets");
    // The walk needs no dot; the catalog test does, and letter case counts.
    EXPECT_TRUE(gw::isInsideAssetCatalog(folder("/a/Myxcassets/b")));
    EXPECT_FALSE(gw::isAssetCatalog(folder("/a/Myxcassets")));
    EXPECT_FALSE(gw::isAssetCatalog(folder("/a/B.XCASSETS")));
    EXPECT_FALSE(gw::isInsideAssetCatalog(folder("/a/b/c")));
    EXPECT_FALSE(gw::isAssetCatalog(folder("/")));
}

TEST(CatalogSearch, FindsCatalogsAtAnyDepthAndFoldersByExactName) {
    gwtest::TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir / "A.xcassets/AppIcon.appiconset");
    fs::create_directories(dir / "A.xcassets/Inner.xcassets");
    fs::create_directories(dir / "sub/B.stickerpack");
    fs::create_directories(dir / "sub/AppIcon.appiconset");
    fs::create_directories(dir / "sub/AppIcon.appiconset copy");
    fs::create_directories(dir / ".hidden/C.xcassets");

    const auto root = folder(dir.path());
    EXPECT_EQ(paths(gw::assetCatalogURLs(root)),
              (std::vector<std::string>{(dir / ".hidden/C.xcassets").string(), (dir / "A.xcassets").string(),
                                        (dir / "A.xcassets/Inner.xcassets").string(),
                                        (dir / "sub/B.stickerpack").string()}));
    // On a catalog itself nothing is listed.
    EXPECT_EQ(paths(gw::assetCatalogURLs(folder(dir / "A.xcassets"))),
              (std::vector<std::string>{(dir / "A.xcassets").string()}));
    EXPECT_EQ(paths(gw::urls("AppIcon.appiconset", root)),
              (std::vector<std::string>{(dir / "A.xcassets/AppIcon.appiconset").string(),
                                        (dir / "sub/AppIcon.appiconset").string()}));
}

TEST(CatalogSearch, AMissingFolderThrows) {
    gwtest::TempDir dir;
    EXPECT_THROW(gw::assetCatalogURLs(folder(dir / "missing")), pf::Error);
    EXPECT_THROW(gw::urls("x", folder(dir / "missing")), pf::Error);
}

}  // namespace
