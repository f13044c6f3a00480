#pragma once
// A report left in a report folder the way a crash leaves one, through the crash path's calls.
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report_location.hpp"

namespace left_reports {

inline void leaveReportAsACrashDoes(const std::string& folder, const std::vector<std::uint8_t>& bytes) {
    lvcrash::lvcrash_report_location location{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                                              lvcrash::kPendingReportName, nullptr, {}};
    lvcrash::lvcrash_report_partial partial;
    const int fd = lvcrash::lvcrash_report_location_create(&location, &partial);
    EXPECT_GE(fd, 0) << folder;
    if (fd >= 0) {
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
        EXPECT_TRUE(lvcrash::lvcrash_report_location_publish(&location, &partial));
    }
    ::close(location.folder_fd);
}

}  // namespace left_reports
