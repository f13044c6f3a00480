#pragma once
// A parsed PDF document (the platform's PDF document object), drawn with
// poppler. Poppler documents are not thread-safe: questions about the document go
// through its own lock, and each drawing takes a poppler document of its own, opened
// over the same bytes and kept for the next, so one document is drawn from many
// threads at once.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/picture_problem.hpp"

typedef struct _PopplerDocument PopplerDocument;

namespace platform::graphics {

class GraphicsContext;

class PdfDocument {
public:
    // Inflating every compressed stream of a document may give at most this much:
    // poppler has no way to stop a page in the middle, so a deflate bomb is refused
    // before it is parsed.
    static constexpr uint64_t kMaxInflatedBytes = uint64_t{256} << 20;

    // Null, with a reason in *error, when the bytes are not a PDF poppler can open,
    // or when the document is beyond our budgets: compressed streams inflating past
    // kMaxInflatedBytes, images beyond the pixel limits, a first page beyond them.
    static std::shared_ptr<PdfDocument> fromData(std::vector<uint8_t> bytes, std::string* error = nullptr,
                                                 PictureProblem* problem = nullptr);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    const std::vector<uint8_t>& data() const { return bytes_; }
    int pageCount() const;
    // Boxes of page `index` (0-based) in PDF units, y up. The media box is the
    // crop box's rectangle when the file's media box cannot be read apart.
    std::optional<Rect> cropBox(int index) const;
    std::optional<Rect> mediaBox(int index) const;
    // Draws page `index` into the context's current user space with the page's
    // own coordinates: the point (x, y) of the page lands on user (x, y).
    bool drawPage(int index, GraphicsContext& context) const;

private:
    PdfDocument() = default;
    std::vector<uint8_t> bytes_;
    // A poppler document no other thread is drawing with (null when none could be
    // opened), and its return for the next drawing.
    PopplerDocument* takeRenderer() const;
    void giveBack(PopplerDocument* renderer) const;

    PopplerDocument* document_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::mutex renderersMutex_;
    mutable std::vector<PopplerDocument*> renderers_;
};

}  // namespace platform::graphics
