#include "platform/graphics/vector_libraries.hpp"

#include <dlfcn.h>

#include <fmt/format.h>

namespace platform::graphics::detail {

namespace {

template <typename Functions>
struct Loaded {
    Functions functions;
    bool ok = false;
    std::string error;
};

// Opens `library` and looks up each named function; the library stays open for the
// life of the process (its objects outlive any one picture).
template <typename Functions, typename Bind>
Loaded<Functions> load(const char* library, Bind bind) {
    Loaded<Functions> loaded;
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        loaded.error = fmt::format("cannot open {}: {}", library, why != nullptr ? why : "unknown error");
        return loaded;
    }
    std::string missing;
    auto find = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
        if (slot == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    bind(loaded.functions, find);
    if (!missing.empty()) {
        loaded.error = fmt::format("{} lacks {}", library, missing);
        return loaded;
    }
    loaded.ok = true;
    return loaded;
}

template <typename Functions>
const Functions* answer(const Loaded<Functions>& loaded, std::string* error) {
    if (loaded.ok) return &loaded.functions;
    if (error != nullptr) *error = loaded.error;
    return nullptr;
}

}  // namespace

const RsvgFunctions* rsvgFunctions(std::string* error) {
    static const auto loaded = load<RsvgFunctions>(GW_RSVG_LIBRARY, [](RsvgFunctions& f, auto find) {
        find(f.handleNewFromStreamSync, "rsvg_handle_new_from_stream_sync");
        find(f.handleSetDpi, "rsvg_handle_set_dpi");
        find(f.handleGetIntrinsicSizeInPixels, "rsvg_handle_get_intrinsic_size_in_pixels");
        find(f.handleGetIntrinsicDimensions, "rsvg_handle_get_intrinsic_dimensions");
        find(f.handleRenderDocument, "rsvg_handle_render_document");
    });
    return answer(loaded, error);
}

#ifdef GW_POPPLER_LIBRARY
const PopplerFunctions* popplerFunctions(std::string* error) {
    static const auto loaded = load<PopplerFunctions>(GW_POPPLER_LIBRARY, [](PopplerFunctions& f, auto find) {
        find(f.documentNewFromBytes, "poppler_document_new_from_bytes");
        find(f.documentGetNPages, "poppler_document_get_n_pages");
        find(f.documentGetPage, "poppler_document_get_page");
        find(f.pageGetCropBox, "poppler_page_get_crop_box");
        find(f.pageRenderForPrinting, "poppler_page_render_for_printing");
    });
    return answer(loaded, error);
}
#endif

}  // namespace platform::graphics::detail
