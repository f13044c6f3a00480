#include "platform/appkit/workspace.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

using platform::appkit::Workspace;

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

}  // namespace
