#pragma once
// A small file system of the test's own (a tmpfs of `size`, mounted at a path given or
// in a scratch folder), unmounted at the end. Mounting needs the privilege to mount:
// where it is not had, mounted() is false and error() says why, and the test skips.
#include "support/temp_dir.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace rddi::testkit {

class SmallDisk {
public:
    explicit SmallDisk(const std::string& size, std::optional<std::filesystem::path> at = std::nullopt);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

    // Bytes a writer of this disk may still take.
    std::uintmax_t available() const;
    // Fills the disk with a file of its own until `left` bytes (rounded to whole pages) are
    // free; false when it cannot. Room is made again by emptying it.
    bool fillLeaving(std::uintmax_t left);
    void emptyFiller();

private:
    gwtest::TempDir dir_;
    std::filesystem::path path_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace rddi::testkit
