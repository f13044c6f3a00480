// Where a crash leaves its report: the file it writes is its own, and its finished name is
// one nothing stood at. Driven through the crash path's own calls, at chosen moments.
#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report_location.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace lvcrash {
namespace {

namespace fs = std::filesystem;

class ReportLocationTest : public ::testing::Test {
protected:
    ReportLocationTest() : folderFd_(::open(folder_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~ReportLocationTest() override { ::close(folderFd_); }

    // The name this thread writes a report under, at that attempt.
    std::string partialName(unsigned attempt) const {
        char name[LVCRASH_REPORT_PARTIAL_NAME_SIZE];
        EXPECT_TRUE(lvcrash_report_partial_name(kPendingReportName, ::getpid(),
                                                static_cast<pid_t>(::syscall(SYS_gettid)), attempt, name, sizeof name));
        return name;
    }

    // Writes `text` as a crash does and publishes it as at `now`; answers whether it was.
    bool leaveReport(const std::string& text, const timespec& now, std::string* writtenUnder = nullptr) {
        const lvcrash_report_location location{folderFd_, kPendingReportName, nullptr, {}};
        lvcrash_report_partial partial;
        const int fd = lvcrash_report_location_create(&location, &partial);
        if (fd < 0) return false;
        if (writtenUnder) *writtenUnder = partial.name;
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        return lvcrash_report_location_publish_at(&location, &partial, now) && written;
    }

    // The finished reports' contents, in name order.
    std::vector<std::string> finished() const {
        std::vector<std::string> texts;
        for (const auto& path : finishedCrashReportPaths(folder_.path().string(), kPendingReportName))
            texts.push_back(gwtest::readFile(path));
        return texts;
    }

    gwtest::TempDir folder_;
    gwtest::TempDir elsewhere_;
    int folderFd_;
};

TEST_F(ReportLocationTest, ACrashWritesAFileOfItsOwnUnderTheFirstNameNothingStandsAt) {
    const fs::path notes = elsewhere_.path() / "notes.txt";
    const struct {
        const char* name;
        std::function<void(const fs::path& at)> put;  // at the name of the first attempt
    } cases[] = {
        // Of a process of the same number killed while it wrote: not this crash's to write over.
        {"another's report cut short", [](const fs::path& at) { gwtest::writeFile(at, "half a report of another crash"); }},
        {"a link to the user's file", [&](const fs::path& at) { fs::create_symlink(notes, at); }},
        {"a folder", [](const fs::path& at) { fs::create_directories(at / "inside"); }},
    };
    const timespec now{1'800'000'000, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : fs::directory_iterator(folder_.path())) fs::remove_all(entry.path());
        gwtest::writeFile(notes, "the user's own notes");
        const fs::path first = folder_.path() / partialName(0);
        c.put(first);
        const auto before = fs::symlink_status(first).type();

        std::string writtenUnder;
        EXPECT_TRUE(leaveReport("the crash's report", now, &writtenUnder));
        EXPECT_EQ(writtenUnder, partialName(1));
        EXPECT_EQ(finished(), std::vector<std::string>{"the crash's report"});
        EXPECT_EQ(fs::symlink_status(first).type(), before) << "what stood there was replaced";
        if (fs::is_regular_file(fs::symlink_status(first))) {
            EXPECT_EQ(gwtest::readFile(first), "half a report of another crash");
        }
        EXPECT_EQ(gwtest::readFile(notes), "the user's own notes");
    }
}

TEST_F(ReportLocationTest, AFinishedReportNeverReplacesAnythingAndEachTakesANameOfItsOwn) {
    const timespec now{1'800'000'000, 123};
    // Three crashes of this process at the same instant (a clock set back, a process number
    // used again): each keeps its report, in the order they finished.
    for (const char* text : {"first", "second", "third"}) ASSERT_TRUE(leaveReport(text, now)) << text;
    EXPECT_EQ(finished(), (std::vector<std::string>{"first", "second", "third"}));

    // Something standing at the name a report would take keeps it from there, and stays.
    const timespec later{1'800'000'001, 0};
    const std::string link = "live_report-001800000001.000000000-" + std::to_string(::getpid()) + ".lvcrash";
    fs::create_symlink(elsewhere_.path() / "somewhere", folder_.path() / link);
    ASSERT_TRUE(leaveReport("fourth", later));
    EXPECT_TRUE(fs::is_symlink(folder_.path() / link));
    EXPECT_EQ(finished(), (std::vector<std::string>{"first", "second", "third", "fourth"}));
}

}  // namespace
}  // namespace lvcrash
