#pragma once
// Holds this process to a largest file size for as long as it lives, as a disk that takes
// no more bytes does: writes past it fail with EFBIG instead of ending the process.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

namespace gwtest {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousSignal_(std::signal(SIGXFSZ, SIG_IGN)) {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &before_), 0);
        struct rlimit limited = before_;
        limited.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &before_);
        std::signal(SIGXFSZ, previousSignal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit before_ {};
    void (*previousSignal_)(int);
};

}  // namespace gwtest
