#include "platform/graphics/file_bytes.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace platform::graphics {

std::optional<std::vector<uint8_t>> readFileBytes(const std::filesystem::path& path, std::uintmax_t maxBytes,
                                                  std::string* error, PictureProblem* problem) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        noteProblem(error, problem, PictureProblem::missing, fmt::format("no file at {}", path.string()));
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        noteProblem(error, problem, PictureProblem::unreadable, fmt::format("{} is not a regular file", path.string()));
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > maxBytes) {
        noteProblem(error, problem, PictureProblem::unreadable,
                    fmt::format("{} is unreadable or too large", path.string()));
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        // Out of descriptors, the file was never looked at: that is no fault of the file.
        const int err = errno;
        noteProblem(error, problem, problemOfOpening(err),
                    fmt::format("cannot open {}: {}", path.string(), std::strerror(err)));
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t had = 0;
    while (had < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + had, bytes.size() - had);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        had += static_cast<size_t>(got);
    }
    ::close(fd);
    if (had != bytes.size()) {
        noteProblem(error, problem, PictureProblem::unreadable, fmt::format("cannot read {}", path.string()));
        return std::nullopt;
    }
    return bytes;
}

}  // namespace platform::graphics
