#pragma once
// Reading a whole picture or document file, refusing anything larger than its reader
// will accept before a byte of it is allocated.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

// The file's bytes, or none with a reason in *error: not a regular file, larger than
// maxBytes, or unreadable.
std::optional<std::vector<uint8_t>> readFileBytes(const std::filesystem::path& path, std::uintmax_t maxBytes,
                                                  std::string* error, PictureProblem* problem = nullptr);

}  // namespace platform::graphics
