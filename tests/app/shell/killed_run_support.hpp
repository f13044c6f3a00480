#pragma once
// What a killed run leaves in flight, made on the spot: an item marked as the program marks
// it, by a run that no longer runs.
#include "app/engine/in_flight_mark.hpp"
#include "platform/foundation/folder_swap.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace gwtest {

// No process has a number above the kernel's limit on them (2^22).
inline constexpr std::uint64_t kGoneProcess = 4194305;

// A run on this boot, of this user (or, with `anotherUser`, of the next user id), whose
// process has ended.
inline gw::RunIdentity endedRun(std::uint64_t process = kGoneProcess, bool anotherUser = false) {
    auto run = gw::RunIdentity::current();
    run.process = process;
    run.user += anotherUser ? 1 : 0;
    return run;
}

inline void leaveInFlight(const std::filesystem::path& item, gw::InFlightKind kind, const std::string& original,
                          const gw::RunIdentity& run = endedRun()) {
    namespace files = platform::foundation::files;
    const bool folder = std::filesystem::is_directory(std::filesystem::symlink_status(item));
    files::UniqueFd fd(::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
    ASSERT_TRUE(fd) << item;
    struct stat found {};
    ASSERT_EQ(::fstat(fd.get(), &found), 0);
    const gw::InFlightMark mark{run, kind, files::ItemIdentity::of(found), original};
    files::setMark(fd.get(), folder, gw::kInFlightMarkName, mark.text(), nullptr);
}

}  // namespace gwtest
