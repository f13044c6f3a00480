#pragma once
// The one way a picture file is read: once, through the folder the reading is bound to
// (the granted root, or everything), into bytes that are then decoded. A file is never
// opened again by its path to be decoded; when the pixels of a large picture are let go,
// they come back from the same file read again through the same folder, and only while
// it holds the same bytes.
#include "platform/foundation/root_handle.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/picture_problem.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gw {

// The first bytes of a picture file that is open and about to be read whole.
class FileHead {
public:
    FileHead(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    std::uint64_t size() const { return size_; }
    // Up to `count` bytes from the start of the file.
    std::vector<std::uint8_t> first(std::size_t count) const;

private:
    int fd_;
    std::uint64_t size_;
};
// Told what a file holds once it is open and known to be a picture's regular file, before
// it is read (and so before reading it takes any memory).
using BeforeReading = std::function<void(const FileHead&)>;

struct PictureFile {
    std::vector<std::uint8_t> bytes;
    // The same bytes again while the file holds them (unchanged, or touched or copied
    // back with the same bytes); none once it does not.
    platform::graphics::Image::Reread reread;
};

// The file at `path` beneath `root` (everything when null), at most `maxBytes`. None, with
// the kind of failure in *problem and the reason in *detail, for a file that is missing,
// no regular file, too large or unreadable. files::OutsideRootError when the path leads
// outside the root: nothing of it was read.
std::optional<PictureFile> readPictureFile(const std::filesystem::path& path,
                                           const platform::foundation::files::RootHandlePtr& root,
                                           std::uintmax_t maxBytes, std::string* detail,
                                           platform::graphics::PictureProblem* problem,
                                           const BeforeReading& beforeReading = {});

}  // namespace gw
