#pragma once
// Re-saving a vector picture as a one-page PDF of a given page size: the picture's page
// is stretched to the page and zoomed about its centre, and stays vector.
#include "platform/foundation/url.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/image.hpp"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace gw {

class PDFImageSaveError : public std::runtime_error {
public:
    enum class Case : int {
        noPdfImageRep = 0,
        failedToOpenDocument = 1,
        failedToCreateOutputPDFContext = 2,
        failedToOpenFirstPage = 3,
    };

    explicit PDFImageSaveError(Case errorCase);
    // The case with a description that also says why.
    PDFImageSaveError(Case errorCase, const std::string& description);
    Case errorCase() const noexcept { return case_; }

    friend bool operator==(const PDFImageSaveError& a, const PDFImageSaveError& b) { return a.case_ == b.case_; }

private:
    Case case_;
};

// Writes the picture's first PDF page to `file` on a page of `size` points: the page's
// crop box fills the new page (aspect ratio not kept), then `zoom` magnifies it about
// the centre. Throws PDFImageSaveError, or ImageConversionError(zoomFactorIsZero) for a
// zoom not above 0 (NaN included); a page that cannot be drawn at that size or is not
// drawn completely fails with failedToOpenFirstPage and the reason. The file appears whole or not at all; on any failure
// whatever stood at `file` is left as it was.
void writeSinglePagePDF(const platform::graphics::Image& image, const platform::foundation::URL& file,
                        platform::graphics::Size size, double zoom);
// The same page as the bytes of a PDF document, for a caller that writes them itself.
// `canWrite` is asked, when the page cannot be made, whether the place it was meant
// for could take a file: if not, that is the failure reported, as writing would.
std::vector<std::uint8_t> singlePagePDF(const platform::graphics::Image& image, platform::graphics::Size size,
                                        double zoom, const std::function<bool()>& canWrite);

}  // namespace gw

template <>
struct std::hash<gw::PDFImageSaveError> {
    std::size_t operator()(const gw::PDFImageSaveError& error) const noexcept {
        return std::hash<int>()(static_cast<int>(error.errorCase()));
    }
};
