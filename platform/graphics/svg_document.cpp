#include "platform/graphics/svg_document.hpp"

#include "platform/graphics/file_bytes.hpp"

#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cmath>

#include <fmt/format.h>

#include "platform/graphics/graphics_context.hpp"

namespace platform::graphics {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::shared_ptr<SvgDocument> SvgDocument::fromFileUrl(const std::string& url, std::string* error) {
    constexpr std::string_view scheme = "file://";
    if (url.rfind(scheme, 0) != 0) return fromFile(url, error);
    std::string rest = url.substr(scheme.size());
    // "file://localhost/path" and "file:///path" both name a local path.
    if (rest.rfind("localhost/", 0) == 0) rest = rest.substr(9);
    if (rest.empty() || rest[0] != '/') {
        if (error != nullptr) *error = fmt::format("not a local file URL: {}", url);
        return nullptr;
    }
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
            path += static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            i += 2;
        } else {
            path += rest[i];
        }
    }
    return fromFile(path, error);
}

std::shared_ptr<SvgDocument> SvgDocument::fromFile(const std::filesystem::path& path, std::string* error) {
    const auto bytes = readFileBytes(path, kMaxFileBytes, error);
    if (!bytes) return nullptr;
    return fromData(*bytes, error);
}

std::shared_ptr<SvgDocument> SvgDocument::fromData(std::span<const uint8_t> bytes, std::string* error) {
    if (bytes.empty() || bytes.size() > kMaxFileBytes) {
        if (error != nullptr) *error = "not an SVG document";
        return nullptr;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(bytes.data(), static_cast<gssize>(bytes.size()),
                                                                nullptr);
    GError* gerror = nullptr;
    // No base file: relative and file references cannot be resolved, so a
    // document cannot make us read other files.
    RsvgHandle* handle = rsvg_handle_new_from_stream_sync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &gerror);
    g_object_unref(stream);
    if (handle == nullptr) {
        if (error != nullptr) {
            *error = fmt::format("not an SVG document: {}", gerror != nullptr ? gerror->message : "unknown error");
        }
        if (gerror != nullptr) g_error_free(gerror);
        return nullptr;
    }
    std::shared_ptr<SvgDocument> document(new SvgDocument());
    document->handle_ = handle;
    // At 72 dots per inch a CSS pixel is one point and physical units keep
    // their true size on a PDF page.
    rsvg_handle_set_dpi(handle, 72.0);
    double width = 0, height = 0;
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height) && std::isfinite(width) &&
        std::isfinite(height) && width > 0 && height > 0) {
        document->hasSize_ = true;
        document->size_ = Size{width, height};
    }
    return document;
}

SvgDocument::~SvgDocument() {
    if (handle_ != nullptr) g_object_unref(handle_);
}

bool SvgDocument::render(GraphicsContext& context) const {
    const Size size = drawingSize();
    bool ok = true;
    context.drawWithEffects(
        [&](cairo_t* cr) {
            std::lock_guard lock(mutex_);
            RsvgRectangle viewport{0, 0, size.width, size.height};
            GError* gerror = nullptr;
            if (!rsvg_handle_render_document(handle_, cr, &viewport, &gerror)) ok = false;
            if (gerror != nullptr) g_error_free(gerror);
        },
        context.compositingOperation());
    return ok;
}

}  // namespace platform::graphics
