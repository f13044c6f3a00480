// The desktop's recently-used list as other programs share it: our notes join the entries
// already there (theirs kept), one entry per document however often it is opened, notes
// from several threads all arrive, and a list that cannot be read is never replaced.
#include "platform/appkit/recent_documents.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::appkit::RecentDocuments;
using platform::foundation::URL;

const std::string kOtherProgramsList = R"(<?xml version="1.0" encoding="UTF-8"?>
<xbel version="1.0" xmlns:bookmark="http://www.freedesktop.org/standards/desktop-bookmarks" xmlns:mime="http://www.freedesktop.org/standards/shared-mime-info">
  <bookmark href="file:///srv/notes.txt" added="2024-01-01T00:00:00Z" modified="2024-01-01T00:00:00Z" visited="2024-01-01T00:00:00Z">
    <info><metadata owner="http://freedesktop.org"><mime:mime-type type="text/plain"/>
      <bookmark:applications><bookmark:application name="Editor" exec="&apos;editor %u&apos;" modified="2024-01-01T00:00:00Z" count="1"/></bookmark:applications>
    </metadata></info>
  </bookmark>
</xbel>
)";

class RecentDocumentsTest : public ::testing::Test {
protected:
    gwtest::TempDir dir_;
    gwtest::ScopedEnv dataHome_{"XDG_DATA_HOME", (dir_.path() / "data").string()};

    fs::path picture(const std::string& name) const {
        // A PNG signature is all the content sniffing needs.
        gwtest::writeFile(dir_.path() / name, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
        return dir_.path() / name;
    }
};

TEST_F(RecentDocumentsTest, NotesJoinTheSharedListOncePerDocumentFromAnyThread) {
    fs::create_directories(dir_.path() / "data");
    gwtest::writeFile(RecentDocuments::listPath(), kOtherProgramsList);
    EXPECT_EQ(RecentDocuments::listPath(), dir_.path() / "data/recently-used.xbel");

    std::vector<fs::path> pictures;
    for (int i = 0; i < 8; ++i) pictures.push_back(picture("art" + std::to_string(i) + (i % 2 ? ".png" : "")));
    std::vector<std::thread> threads;
    for (const auto& file : pictures) {
        threads.emplace_back([file] {
            RecentDocuments::noteNewRecentDocumentURL(URL::fileURL(file), "Glyphwright", "glyphwright %u");
        });
    }
    for (auto& thread : threads) thread.join();
    // Opened again: still one entry, counted twice. Other schemes are not documents here.
    RecentDocuments::noteNewRecentDocumentURL(URL::fileURL(pictures[0]), "Glyphwright", "glyphwright %u");
    RecentDocuments::noteNewRecentDocumentURL(*URL::fromString("https://norvane.example/a.png"), "Glyphwright", "x");
    RecentDocuments::waitUntilWritten();

    GBookmarkFile* list = g_bookmark_file_new();
    ASSERT_TRUE(g_bookmark_file_load_from_file(list, RecentDocuments::listPath().c_str(), nullptr));
    EXPECT_EQ(g_bookmark_file_get_size(list), 9);
    EXPECT_TRUE(g_bookmark_file_has_application(list, "file:///srv/notes.txt", "Editor", nullptr));
    for (const auto& file : pictures) {
        SCOPED_TRACE(file.string());
        gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
        gchar* mime = g_bookmark_file_get_mime_type(list, uri, nullptr);
        EXPECT_STREQ(mime, "image/png");
        guint count = 0;
        EXPECT_TRUE(g_bookmark_file_get_application_info(list, uri, "Glyphwright", nullptr, &count, nullptr, nullptr));
        EXPECT_EQ(count, file == pictures[0] ? 2u : 1u);
        g_free(mime);
        g_free(uri);
    }
    g_bookmark_file_free(list);
}

TEST_F(RecentDocumentsTest, AListThatCannotBeReadIsLeftAsItIs) {
    fs::create_directories(dir_.path() / "data");
    const std::string damaged = kOtherProgramsList.substr(0, kOtherProgramsList.size() / 2);
    gwtest::writeFile(RecentDocuments::listPath(), damaged);
    RecentDocuments::noteNewRecentDocumentURL(URL::fileURL(picture("art.png")), "Glyphwright", "glyphwright %u");
    RecentDocuments::waitUntilWritten();
    EXPECT_EQ(gwtest::readFile(RecentDocuments::listPath()), damaged);
}

TEST_F(RecentDocumentsTest, WithoutAListOrItsFolderBothAreMade) {
    RecentDocuments::noteNewRecentDocumentURL(URL::fileURL(picture("art.png")), "Glyphwright", "glyphwright %u");
    RecentDocuments::waitUntilWritten();
    EXPECT_NE(gwtest::readFile(RecentDocuments::listPath()).find("art.png"), std::string::npos);
}

}  // namespace
