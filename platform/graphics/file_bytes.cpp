#include "platform/graphics/file_bytes.hpp"

#include <fmt/format.h>

#include <fstream>

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
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        noteProblem(error, problem, PictureProblem::unreadable, fmt::format("cannot read {}", path.string()));
        return std::nullopt;
    }
    return bytes;
}

}  // namespace platform::graphics
