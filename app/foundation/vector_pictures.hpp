#pragma once
// SVG documents turned into one-page PDF pictures, so that a vector source stays
// vector all the way to the catalog.
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/svg_document.hpp"

#include <string>

namespace gw {

// A picture backed by a one-page PDF of the document, on a page of the document's
// size (100 x 100 when it states none), whose page is drawn from the document itself.
// Null, with a reason in *error and its kind in *problem, when the PDF cannot be made or
// the renderer could not draw the whole document (a helper's limit named).
platform::graphics::ImagePtr convertToPDFImage(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                               std::string* error = nullptr,
                                               platform::graphics::PictureProblem* problem = nullptr);

// The same picture, drawn into bitmaps straight from the document (no PDF renderer in
// between: faster, on many threads at once, and as the document's own renderer draws
// it), while its PDF page stays what makes it vector and what is stored or written.
platform::graphics::ImagePtr svgPicture(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                        std::string* error = nullptr,
                                        platform::graphics::PictureProblem* problem = nullptr);

// Writes a one-page PDF of the document at `file` (the file itself), on a page of the
// document's stated size. False (and no file) when the file cannot be written or the
// document not drawn completely.
bool saveAsPDFInOutputDirectory(const platform::graphics::SvgDocument& document,
                                const platform::foundation::URL& file);

}  // namespace gw
