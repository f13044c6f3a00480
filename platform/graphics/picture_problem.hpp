#pragma once
// Why a picture could not be read or drawn, in kinds the application can explain to
// a user; the accompanying text gives the details for logs and developers.
#include <string>

namespace platform::graphics {

enum class PictureProblem {
    none,
    missing,           // nothing at the path
    unreadable,        // not a regular file, too large a file, or a read error
    tooManyOpenFiles,  // the process (or the system) had no file descriptor left to read or draw it
    notAPicture,       // not a format we read
    truncated,         // the data ends before the picture is complete
    damaged,           // the data is corrupt
    tooLarge,          // beyond the pixel limits (kMaxImageSide, kMaxImagePixels)
    tooDemanding,      // drawing it would exceed the memory or work budget
    incompleteRender,  // the renderer could not draw all of it
    encrypted,         // an encrypted document, whose drawing cannot be checked first
    pastMemoryLimit,   // the renderer was stopped at its memory limit
    pastTimeLimit,     // the renderer was stopped at its limit of time in all (wall-clock)
    pastProcessorTimeLimit,  // the renderer was stopped at its processor-time limit
    rendererUnavailable,     // the renderer helper could not be started (missing, not a program, not runnable)
    fileTooLarge,            // the file is larger than a picture of its kind may be
};

// Whether the detail of a problem of this kind names what was met (which limit, which
// renderer), and belongs in what a user reads.
bool detailNamesTheCause(PictureProblem problem);

// What a file or descriptor that could not be had says of the picture: for want of
// descriptors, nothing (the program's own state); for any other `error`, that it is
// unreadable.
PictureProblem problemOfOpening(int error);

// Whether the renderer stopped the drawing at one of its limits.
bool isRendererLimit(PictureProblem problem);

// Why a drawing failed, told by the renderer that refused or failed it to whoever asked
// for the picture on the same thread: pictures are drawn lazily, one inside another, and
// a drawing returns only whether it succeeded. A collector keeps the first problem
// reported on its thread while it lives; one around it gets what it kept when it ends.
class DrawingProblems {
public:
    DrawingProblems();
    ~DrawingProblems();
    DrawingProblems(const DrawingProblems&) = delete;
    DrawingProblems& operator=(const DrawingProblems&) = delete;

    PictureProblem kind() const { return kind_; }
    const std::string& text() const { return text_; }

    // Tells the innermost collector on this thread, if there is one.
    static void report(PictureProblem kind, std::string text);

private:
    DrawingProblems* outer_;
    PictureProblem kind_ = PictureProblem::none;
    std::string text_;
};

// Stores the reason (when asked for) and gives false, for `return fail(...)`.
inline bool noteProblem(std::string* error, PictureProblem* problem, PictureProblem kind, std::string text) {
    if (error != nullptr) *error = std::move(text);
    if (problem != nullptr) *problem = kind;
    return false;
}

}  // namespace platform::graphics
