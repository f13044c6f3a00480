#pragma once
// An SVG document (the platform's SVG renderer object), parsed and drawn by
// librsvg. References to other files or the network are never followed: the
// document is read from memory without a base location.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/graphics/geometry.hpp"

typedef struct _RsvgHandle RsvgHandle;

namespace platform::graphics {

class GraphicsContext;

class SvgDocument {
public:
    // Documents larger than this are refused unread.
    static constexpr std::uintmax_t kMaxFileBytes = 32u << 20;
    // The page used for a document that does not state its size.
    static constexpr Size kFallbackSize{100, 100};

    // Null (with a reason in *error) when the file is missing, too large or
    // not a valid SVG document.
    static std::shared_ptr<SvgDocument> fromFile(const std::filesystem::path& path, std::string* error = nullptr);
    // Accepts "file://" URLs (percent-encoded) and plain paths.
    static std::shared_ptr<SvgDocument> fromFileUrl(const std::string& url, std::string* error = nullptr);
    static std::shared_ptr<SvgDocument> fromData(std::span<const uint8_t> bytes, std::string* error = nullptr);
    ~SvgDocument();
    SvgDocument(const SvgDocument&) = delete;
    SvgDocument& operator=(const SvgDocument&) = delete;

    // True when the root element gives an absolute width and height.
    bool hasSize() const { return hasSize_; }
    // The stated size in points (CSS pixels count as points); zero without one.
    Size size() const { return size_; }
    // The size to draw at: size() when stated, else kFallbackSize.
    Size drawingSize() const { return hasSize_ ? size_ : kFallbackSize; }

    // Draws the document into the context's current user space with its own
    // coordinates, filling the rectangle (0, 0, drawingSize()). Document
    // geometry is y-down, so in a y-up context the caller flips first.
    bool render(GraphicsContext& context) const;

private:
    SvgDocument() = default;
    RsvgHandle* handle_ = nullptr;
    bool hasSize_ = false;
    Size size_;
    mutable std::mutex mutex_;
};

}  // namespace platform::graphics
