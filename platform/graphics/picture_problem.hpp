#pragma once
// Why a picture could not be read or drawn, in kinds the application can explain to
// a user; the accompanying text gives the details for logs and developers.
#include <string>

namespace platform::graphics {

enum class PictureProblem {
    none,
    missing,           // nothing at the path
    unreadable,        // not a regular file, too large a file, or a read error
    notAPicture,       // not a format we read
    truncated,         // the data ends before the picture is complete
    damaged,           // the data is corrupt
    tooLarge,          // beyond the pixel limits (kMaxImageSide, kMaxImagePixels)
    tooDemanding,      // drawing it would exceed the memory or work budget
    incompleteRender,  // the renderer could not draw all of it
    encrypted,         // an encrypted document, whose drawing cannot be checked first
};

// Stores the reason (when asked for) and gives false, for `return fail(...)`.
inline bool noteProblem(std::string* error, PictureProblem* problem, PictureProblem kind, std::string text) {
    if (error != nullptr) *error = std::move(text);
    if (problem != nullptr) *problem = kind;
    return false;
}

}  // namespace platform::graphics
