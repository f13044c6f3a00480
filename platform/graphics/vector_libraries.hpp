#pragma once
// librsvg is opened when the first SVG picture is read, not when the program starts:
// with the thirty-odd libraries it brings, loading it took a third of the start-up of a
// program that converts a bitmap. (PDF documents are opened by the renderer helper.)
#include <librsvg/rsvg.h>

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

}  // namespace platform::graphics::detail
