#include "platform/appkit/workspace.hpp"
#include "support/desktop/desktop_recorder.hpp"
#include "support/desktop/file_manager_stand_in.hpp"
#include "support/desktop/private_session_bus.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <fstream>
#include <thread>

namespace {

using platform::appkit::Workspace;
using platform::foundation::URL;
namespace desktop = gwtest::desktop;

// Waits for the file to hold a whole line, at most `limit`.
std::optional<std::string> waitForLine(const std::filesystem::path& path, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::string line;
        if (in && std::getline(in, line) && !in.eof()) return line;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

TEST(WorkspaceTest, HandsTheUrlToTheDesktopOpenerAsOneArgumentWithoutAShell) {
    gwtest::TempDir bin;
    const auto received = bin / "received.txt";
    // Stands in for the desktop's opener: records its arguments, one per line.
    gwtest::writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" > \"" + received.string() + ".tmp\"\n"
                                        "mv \"" + received.string() + ".tmp\" \"" + received.string() + "\"\n");
    ::chmod((bin / "xdg-open").c_str(), 0755);
    gwtest::ScopedEnv path("PATH", bin.path().string() + ":/usr/bin:/bin");

    // Characters a shell would act on arrive untouched.
    const std::string url = "https://example.com/a b?x=1&y=$(touch pwned);z";
    ASSERT_TRUE(Workspace::open(url));
    EXPECT_EQ(waitForLine(received, std::chrono::seconds(60)), "1|" + url);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "pwned"));

    EXPECT_FALSE(Workspace::open(std::string()));
}

TEST(WorkspaceTest, AMissingOpenerIsReportedAsFailure) {
    gwtest::TempDir empty;
    gwtest::ScopedEnv path("PATH", empty.path().string());
    EXPECT_FALSE(Workspace::open("https://example.com"));
}

TEST(WorkspaceTest, StoreLinksOpenAsTheirHttpsTwinAndOtherLinksAsGiven) {
    const struct {
        std::string given;
        std::string opened;
    } cases[] = {
        {"macappstore://apps.apple.com/app/id123456789?action=write-review",
         "https://apps.apple.com/app/id123456789?action=write-review"},
        {"MacAppStore://apps.example.com/developer/id42", "https://apps.example.com/developer/id42"},
        {"https://example.com/macappstore:x", "https://example.com/macappstore:x"},
        {"mailto:someone@example.com", "mailto:someone@example.com"},
        {"macappstore", "macappstore"},
    };
    for (const auto& c : cases) EXPECT_EQ(Workspace::openableText(c.given), c.opened) << c.given;
}

// The real xdg-open, in its plain mode, hands links to $BROWSER: the recorder.
TEST(WorkspaceTest, TheDesktopOpenerReceivesTheStoreLinksHttpsTwin) {
    desktop::DesktopRecorder recorder;
    desktop::ScopedPlainDesktop plain(recorder);
    ASSERT_TRUE(Workspace::open(*URL::fromString("macappstore://apps.example.com/app/id99?action=write-review")));
    ASSERT_TRUE(recorder.waitForInvocations(1));
    EXPECT_EQ(recorder.invocations().at(0), std::vector<std::string>{"https://apps.example.com/app/id99?action=write-review"});
}

class RevealTest : public ::testing::Test {
protected:
    // A folder whose name a shell would act on.
    void SetUp() override {
        folder_ = scratch_ / "a b;$(touch x)";
        std::filesystem::create_directories(folder_);
    }
    // The reveal waited for through the asynchronous entry point.
    static Workspace::RevealRoute reveal(const std::vector<URL>& urls) {
        std::promise<Workspace::RevealRoute> done;
        auto route = done.get_future();
        Workspace::activateFileViewerSelecting(urls, [&done](Workspace::RevealRoute r) { done.set_value(r); });
        EXPECT_EQ(route.wait_for(std::chrono::seconds(90)), std::future_status::ready);
        return route.get();
    }
    void expectNothingRanInAShell() const {
        EXPECT_FALSE(std::filesystem::exists(scratch_ / "x"));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "x"));
    }

    gwtest::TempDir scratch_;
    std::filesystem::path folder_;
    desktop::DesktopRecorder recorder_;
    desktop::ScopedPlainDesktop plain_{recorder_};
};

TEST_F(RevealTest, TheFileManagerOnTheSessionBusIsAskedToShowTheItems) {
    desktop::PrivateSessionBus bus;
    desktop::FileManagerStandIn fileManager(bus.address());
    const auto url = URL::fileURL(folder_);
    EXPECT_EQ(reveal({url}), Workspace::RevealRoute::fileManager);
    ASSERT_TRUE(fileManager.waitForShowItems(1));
    const auto calls = fileManager.showItemsCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].uris, std::vector<std::string>{url.absoluteString()});
    EXPECT_TRUE(recorder_.invocations().empty());
    expectNothingRanInAShell();
}

TEST_F(RevealTest, WithoutAFileManagerTheParentFolderIsOpenedOncePerFolder) {
    const auto second = folder_ / "picture.png";
    gwtest::writeFile(second, "not really a picture");
    const struct {
        const char* name;
        bool withBus;
    } cases[] = {{"a bus nobody serves", true}, {"no bus at all", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        desktop::DesktopRecorder recorder;
        gwtest::ScopedEnv browser("BROWSER", recorder.scriptPath().string());
        std::optional<desktop::PrivateSessionBus> bus;
        std::optional<gwtest::ScopedEnv> noAddress, noRuntime;
        if (c.withBus) {
            bus.emplace();
        } else {
            noAddress.emplace("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
            noRuntime.emplace("XDG_RUNTIME_DIR", scratch_.path().string());
        }
        const auto inner = URL::fileURL(folder_ / "inner", true);
        EXPECT_EQ(reveal({URL::fileURL(folder_), URL::fileURL(second), inner}), Workspace::RevealRoute::folderOpened);
        ASSERT_TRUE(recorder.waitForInvocations(2));
        auto got = recorder.invocations();
        std::sort(got.begin(), got.end());  // the openers run side by side
        EXPECT_EQ(got, (std::vector<std::vector<std::string>>{{scratch_.path().string()}, {folder_.string()}}));
        expectNothingRanInAShell();
    }
}

TEST_F(RevealTest, NothingToShowIsAFailure) {
    EXPECT_EQ(Workspace::revealSelecting({}), Workspace::RevealRoute::failed);
    gwtest::ScopedEnv noOpener("PATH", scratch_.path().string());
    gwtest::ScopedEnv noAddress("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    gwtest::ScopedEnv noRuntime("XDG_RUNTIME_DIR", scratch_.path().string());
    EXPECT_EQ(Workspace::revealSelecting({URL::fileURL(folder_)}), Workspace::RevealRoute::failed);
}

}  // namespace
