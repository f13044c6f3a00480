#include "platform/appkit/qt/bundle_image.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/svg_document.hpp"

#include <map>
#include <string>

namespace platform::appkit::qt {

namespace {

// A drawing of its own that stays sharp at every size it is shown at.
platform::graphics::ImagePtr vectorImage(const std::filesystem::path& path) {
    std::shared_ptr<const platform::graphics::SvgDocument> document = platform::graphics::SvgDocument::ofResource(path);
    if (!document) return nullptr;
    return platform::graphics::Image::withSize(document->drawingSize(), true, [document](platform::graphics::Rect) {
        auto* context = platform::graphics::GraphicsContext::current();
        return context && document->render(*context);
    });
}

}  // namespace

platform::graphics::ImagePtr bundleImage(std::string_view name) {
    // Main thread only, as everything in this layer: no lock.
    static std::map<std::string, platform::graphics::ImagePtr, std::less<>> loaded;
    if (auto found = loaded.find(name); found != loaded.end()) return found->second;
    const auto& bundle = platform::foundation::Bundle::main();
    platform::graphics::ImagePtr image;
    if (auto path = bundle.pathForResource(name, "svg", "images")) image = vectorImage(*path);
    if (!image) {
        if (auto path = bundle.pathForResource(name, "png", "images")) image = platform::graphics::Image::fromFile(*path);
    }
    // A missing image is not kept: the bundle may be replaced (tests do) and then have it.
    if (image) loaded.emplace(std::string(name), image);
    return image;
}

}  // namespace platform::appkit::qt
