#pragma once
// A context that writes a PDF document (the platform's PDF graphics context),
// to a file or to memory, page by page, keeping everything drawn as vectors.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/graphics_context.hpp"

namespace platform::graphics {

class PdfDocument;

class PdfContext {
public:
    // The default media box, when none is given, is a US Letter page.
    static constexpr Rect kDefaultMediaBox{0, 0, 612, 792};

    // The file appears complete at `path` only when the context is closed;
    // until then it is written under a temporary name beside it. Null, with a
    // reason in *error, when the folder cannot take the file.
    static std::unique_ptr<PdfContext> toFile(const std::filesystem::path& path,
                                              std::optional<Rect> mediaBox = std::nullopt,
                                              std::string* error = nullptr);
    static std::unique_ptr<PdfContext> toMemory(std::optional<Rect> mediaBox = std::nullopt);
    // Closes the document if the owner did not.
    ~PdfContext();
    PdfContext(const PdfContext&) = delete;
    PdfContext& operator=(const PdfContext&) = delete;

    // Starts a page; its media box's origin is the bottom-left corner of the
    // visible page in user space. A page still open is ended first.
    void beginPage(std::optional<Rect> mediaBox = std::nullopt);
    void endPage();
    // The y-up context of the open page; null between pages.
    GraphicsContext* graphicsContext() { return page_.get(); }
    // Draws page `index` of a document in its own coordinates (see PdfDocument) as the
    // whole content of this context's one page: the renderer helper writes that page,
    // through the current transform and clip, and it becomes the document. False, with
    // the reason in the thread's DrawingProblems, when it could not be drawn completely
    // or the document has another page. A document made of an SVG document
    // (PdfDocument::ofDrawing) is written by that document's helper the same way.
    bool drawPdfPage(const PdfDocument& document, int index);

    // Completes the document (and, for a file, moves it into place). False
    // when writing failed; the target file is then left untouched.
    bool close();
    // Ends the document without keeping it: a file target is left untouched.
    void discard();
    bool isClosed() const { return closed_; }
    // The document bytes of a memory context, complete after close().
    const std::vector<uint8_t>& data() const { return bytes_; }

private:
    PdfContext() = default;
    static unsigned int writeChunk(void* closure, const unsigned char* data, unsigned int length);
    bool start(Rect mediaBox);

    Rect defaultBox_ = kDefaultMediaBox;
    cairo_surface_t* surface_ = nullptr;
    std::unique_ptr<GraphicsContext> page_;
    std::vector<uint8_t> bytes_;
    std::FILE* file_ = nullptr;
    std::filesystem::path path_;
    std::filesystem::path tempPath_;
    bool writeFailed_ = false;
    bool closed_ = false;
    int pages_ = 0;
    Rect pageBox_;
    // The document the helper wrote for a page drawn by drawPdfPage.
    std::optional<std::vector<uint8_t>> adopted_;
};

}  // namespace platform::graphics
