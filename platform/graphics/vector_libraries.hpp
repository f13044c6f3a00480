#pragma once
// librsvg is opened when the first SVG picture is read, not when the program starts:
// with the thirty-odd libraries it brings, loading it took a third of the start-up of a
// program that converts a bitmap. (PDF documents are opened by the renderer helper.)
#include <librsvg/rsvg.h>
#ifdef GW_POPPLER_LIBRARY
#include <poppler.h>
#endif

#include <string>

namespace platform::graphics::detail {

struct RsvgFunctions {
    decltype(&rsvg_handle_new_from_stream_sync) handleNewFromStreamSync = nullptr;
    decltype(&rsvg_handle_set_dpi) handleSetDpi = nullptr;
    decltype(&rsvg_handle_get_intrinsic_size_in_pixels) handleGetIntrinsicSizeInPixels = nullptr;
    decltype(&rsvg_handle_get_intrinsic_dimensions) handleGetIntrinsicDimensions = nullptr;
    decltype(&rsvg_handle_render_document) handleRenderDocument = nullptr;
};

// The library's functions, opened on the first call (once per process, from any
// thread). Null, with the reason in *error, when the library or a function is missing.
const RsvgFunctions* rsvgFunctions(std::string* error = nullptr);

#ifdef GW_POPPLER_LIBRARY
// poppler is opened by the renderer helper that draws PDF pages only: linked, its
// libraries' loading and symbol binding were a third of an SVG helper's start, and their
// mappings made each fork of it dearer.
struct PopplerFunctions {
    decltype(&poppler_document_new_from_bytes) documentNewFromBytes = nullptr;
    decltype(&poppler_document_get_n_pages) documentGetNPages = nullptr;
    decltype(&poppler_document_get_page) documentGetPage = nullptr;
    decltype(&poppler_page_get_crop_box) pageGetCropBox = nullptr;
    decltype(&poppler_page_render_for_printing) pageRenderForPrinting = nullptr;
};

const PopplerFunctions* popplerFunctions(std::string* error = nullptr);
#endif

}  // namespace platform::graphics::detail
