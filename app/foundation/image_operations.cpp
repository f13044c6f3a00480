#include "app/foundation/image_operations.hpp"

#include "app/foundation/image_categories.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/usage_events.hpp"
#include "platform/graphics/bitmap_context.hpp"
#include "platform/graphics/graphics_context.hpp"

#include <cmath>
#include <utility>

#include <fmt/format.h>

namespace gw {

namespace pg = platform::graphics;
using pg::Image;
using pg::ImagePtr;
using pg::ImageRep;
using pg::Point;
using pg::Rect;
using pg::Size;

namespace {

bool isFinite(const Rect& r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

bool hasArea(Size s) { return s.width > 0 && s.height > 0 && std::isfinite(s.width) && std::isfinite(s.height); }

// Draws `rep` into `rect` of the current context. An empty or non-finite rectangle
// draws nothing: scaling a picture onto it would poison the context's matrix.
bool drawRepresentation(const std::shared_ptr<ImageRep>& rep, Rect rect) {
    pg::GraphicsContext* context = pg::GraphicsContext::current();
    if (context == nullptr || !rep || rect.isEmpty() || !isFinite(rect)) return false;
    return rep->drawInRect(*context, rect);
}

// A lazy image of `size` that draws `rep` into `rect`.
ImagePtr drawingInto(Size size, std::shared_ptr<ImageRep> rep, Rect rect) {
    return Image::withSize(size, false, [rep = std::move(rep), rect](Rect) { return drawRepresentation(rep, rect); });
}

// Doubles as the log has always shown them: integral values keep one decimal.
std::string decimalText(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e16) {
        return fmt::format("{:.1f}", value);
    }
    return fmt::format("{}", value);
}

ImageConversionError conversionError(ImageConversionError::Case errorCase) { return ImageConversionError(errorCase); }

}  // namespace

bool sizeHasZeroSide(Size size) { return size.width == 0 || size.height == 0; }

// --- Fitting ---------------------------------------------------------------------

Rect aspectFitDrawingRect(Size source, Size target) {
    const Rect bounds{0, 0, target.width, target.height};
    const double iw = source.width, ih = source.height;
    if (!hasArea(source)) return pg::aspectFitRect(Size{0, 0}, bounds);
    const double fw = std::fmin(target.height * iw / ih, target.width);
    const double fh = ih * fw / iw;
    return pg::aspectFitRect(Size{fw, fh}, bounds);
}

Rect aspectFillDrawingRect(Size source, Size target) {
    const double iw = source.width, ih = source.height;
    const double W = target.width, H = target.height;
    if (!hasArea(source)) return Rect{W * 0.5, H * 0.5, 0, 0};
    const double s = (W / iw <= H / ih) ? H / ih : W / iw;
    return Rect{(W - iw * s) * 0.5, (H - ih * s) * 0.5, iw * s, ih * s};
}

ImagePtr resizedStretch(const Image& image, Size size) {
    const Rect rect{0, 0, size.width, size.height};
    auto rep = image.bestRepresentationForRect(rect);
    if (!rep) return nullptr;
    return drawingInto(size, std::move(rep), rect);
}

ImagePtr resizedAspectFit(const Image& image, Size size) {
    auto rep = image.bestRepresentationForRect(Rect{0, 0, size.width, size.height});
    if (!rep) return nullptr;
    return drawingInto(size, std::move(rep), aspectFitDrawingRect(image.size(), size));
}

ImagePtr resizedAspectFill(const Image& image, Size size) {
    const Rect rect = aspectFillDrawingRect(image.size(), size);
    auto rep = image.bestRepresentationForRect(rect);
    if (!rep) return nullptr;
    return drawingInto(size, std::move(rep), rect);
}

ImagePtr resized(const Image& image, Size size, std::int64_t scaleType) {
    ImagePtr result;
    switch (scaleType) {
        case 2: result = resizedAspectFit(image, size); break;
        case 1: result = resizedAspectFill(image, size); break;
        default: result = resizedStretch(image, size); break;
    }
    if (!result) throw conversionError(ImageConversionError::Case::failedToResizeImage);
    Logger::log(fmt::format("Resized image {} to size: {} : {}", result->description(), decimalText(size.width),
                            decimalText(size.height)));
    return result;
}

// --- Drawing steps ---------------------------------------------------------------

pg::BezierPath continuousCornerPath(Rect rect) {
    const double x0 = rect.origin.x, y0 = rect.origin.y;
    const double R = x0 + rect.size.width, T = y0 + rect.size.height;
    // The corner follows the width on both axes, also for a picture that is not square.
    const double u = rect.size.width / 4.3;
    pg::BezierPath path;
    auto curve = [&path](Point end, Point c1, Point c2) { path.curveTo(end, c1, c2); };

    path.moveTo({x0 + 1.52866483 * u, y0});
    path.lineTo({R - 1.52866471 * u, y0});
    curve({R - 0.66993427 * u, y0 + 0.065496 * u}, {R - 1.08849323 * u, y0}, {R - 0.86840689 * u, y0});
    path.lineTo({R - 0.63149399 * u, y0 + 0.074911 * u});
    curve({R - 0.07491176 * u, y0 + 0.63149399 * u}, {R - 0.37282392 * u, y0 + 0.16905899 * u},
          {R - 0.16906013 * u, y0 + 0.37282401 * u});
    curve({R, y0 + 1.52866483 * u}, {R, y0 + 0.86840701 * u}, {R, y0 + 1.08849299 * u});
    path.lineTo({R, T - 1.52866471 * u});
    curve({R - 0.06549569 * u, T - 0.66993493 * u}, {R, T - 1.08849323 * u}, {R, T - 0.86840689 * u});
    path.lineTo({R - 0.07491111 * u, T - 0.63149399 * u});
    curve({R - 0.63149399 * u, T - 0.07491111 * u}, {R - 0.16905883 * u, T - 0.37282392 * u},
          {R - 0.37282392 * u, T - 0.16905883 * u});
    curve({R - 1.52866471 * u, T}, {R - 0.86840689 * u, T}, {R - 1.08849323 * u, T});
    path.lineTo({x0 + 1.52866483 * u, T});
    curve({x0 + 0.66993397 * u, T - 0.06549569 * u}, {x0 + 1.08849299 * u, T}, {x0 + 0.86840701 * u, T});
    path.lineTo({x0 + 0.63149399 * u, T - 0.07491111 * u});
    curve({x0 + 0.074911 * u, T - 0.63149399 * u}, {x0 + 0.37282401 * u, T - 0.16905883 * u},
          {x0 + 0.16906001 * u, T - 0.37282392 * u});
    curve({x0, T - 1.52866471 * u}, {x0, T - 0.86840689 * u}, {x0, T - 1.08849323 * u});
    path.lineTo({x0, y0 + 1.52866483 * u});
    curve({x0 + 0.065496 * u, y0 + 0.66993397 * u}, {x0, y0 + 1.08849299 * u}, {x0, y0 + 0.86840701 * u});
    path.lineTo({x0 + 0.074911 * u, y0 + 0.63149399 * u});
    curve({x0 + 0.63149399 * u, y0 + 0.074911 * u}, {x0 + 0.16906001 * u, y0 + 0.37282401 * u},
          {x0 + 0.37282401 * u, y0 + 0.16906001 * u});
    curve({x0 + 1.52866483 * u, y0}, {x0 + 0.86840701 * u, y0}, {x0 + 1.08849299 * u, y0});
    path.closePath();
    return path;
}

ImagePtr withRoundedCorners(const Image& image) {
    const Size size = image.size();
    if (sizeHasZeroSide(size)) throw conversionError(ImageConversionError::Case::foundSizeZero);
    const Rect rect{0, 0, size.width, size.height};
    auto rep = image.bestRepresentationForRect(rect);
    if (!rep) throw conversionError(ImageConversionError::Case::failedReplacingTransparentPixels);
    return Image::withSize(size, false, [rep = std::move(rep), rect](Rect) {
        pg::GraphicsContext* context = pg::GraphicsContext::current();
        if (context == nullptr) return false;
        context->saveState();
        context->clipToPath(continuousCornerPath(rect));
        drawRepresentation(rep, rect);
        context->restoreState();
        return true;
    });
}

ImagePtr zoomed(const Image& image, double zoom) {
    if (zoom == 1.0) return image.copy();
    if (!(zoom > 0)) throw conversionError(ImageConversionError::Case::zoomFactorIsZero);
    if (sizeHasZeroSide(image.size())) throw conversionError(ImageConversionError::Case::foundSizeZero);
    const Size P = pixelSize(image);
    const Size Z{P.width * zoom, P.height * zoom};
    if (sizeHasZeroSide(Z)) throw conversionError(ImageConversionError::Case::foundSizeZero);
    const Rect rect{Point{(P.width - Z.width) * 0.5, (P.height - Z.height) * 0.5}, Z};
    auto rep = image.bestRepresentationForRect(rect);
    if (!rep) throw conversionError(ImageConversionError::Case::failedDrawingZoomedImage);
    return drawingInto(P, std::move(rep), rect);
}

ImagePtr filledBackground(const Image& image, const std::optional<pg::Color>& colour) {
    const Size size = image.size();
    if (sizeHasZeroSide(size)) throw conversionError(ImageConversionError::Case::foundSizeZero);
    const Rect rect{0, 0, size.width, size.height};
    auto rep = image.bestRepresentationForRect(rect);
    if (!rep) throw conversionError(ImageConversionError::Case::failedReplacingTransparentPixels);
    return Image::withSize(size, false, [rep = std::move(rep), rect, colour](Rect) {
        pg::GraphicsContext* context = pg::GraphicsContext::current();
        if (context == nullptr) return false;
        drawRepresentation(rep, rect);
        context->saveState();
        if (colour) {
            context->setFillColor(*colour);
            context->setStrokeColor(*colour);
        }
        // Destination-atop keeps the picture on top and lets the colour show only
        // through its transparent parts.
        context->fillRect(rect, pg::CompositingOperation::destinationAtop);
        context->restoreState();
        return true;
    });
}

ImagePtr withShadow(const Image& image) {
    const Size size = image.size();
    if (sizeHasZeroSide(size)) throw conversionError(ImageConversionError::Case::foundSizeZero);
    ImagePtr source = image.copy();
    return Image::withSize(size, false, [source = std::move(source)](Rect r) {
        pg::GraphicsContext* context = pg::GraphicsContext::current();
        if (context == nullptr) return false;
        context->saveState();
        const pg::BitmapPtr bitmap = source->bitmapForProposedRect(&r, context);
        if (!bitmap) {
            // The picture could not be drawn: the shadow alone is not the picture.
            context->markIncomplete();
            context->restoreState();
            return false;
        }
        context->setShadow(pg::Shadow{Size{0, -0.008 * r.height()}, 0.024 * r.height(), pg::Color::gray(0, 0.4)});
        context->drawBitmap(*bitmap, r);
        context->restoreState();
        return true;
    });
}

// --- Alpha removal and PNG -------------------------------------------------------

RemovingAlphaError::RemovingAlphaError(Case errorCase)
    : std::runtime_error(fmt::format("RemovingAlphaError {}", static_cast<int>(errorCase))), case_(errorCase) {}

RemovingAlphaError::RemovingAlphaError(pg::BitmapPtr imageRef, pg::BitmapInfo bitmapInfo, pg::ColorSpace colorSpace)
    : std::runtime_error("RemovingAlphaError 0 (bitmap context refused)"),
      case_(Case::CGContextInitFail),
      imageRef_(std::move(imageRef)),
      bitmapInfo_(bitmapInfo),
      colorSpace_(colorSpace) {}

std::string RemovingAlphaError::localizedDescription() const {
    return fmt::format("The operation couldn\u2019t be completed. (gw.RemovingAlphaError error {}.)",
                       static_cast<int>(case_));
}

ImagePtr removingAlphaChannel(const Image& image) {
    using Case = RemovingAlphaError::Case;
    const auto rendered = image.renderedBitmap();
    if (!rendered || !rendered->bitmap() || rendered->bitmap()->width() == 0) {
        throw RemovingAlphaError(Case::CGImageSourceCreateImageAtIndexFail);
    }
    const pg::BitmapPtr& decoded = rendered->bitmap();
    if (decoded->alphaInfo() == pg::AlphaInfo::none) return image.copy();

    const int width = decoded->width(), height = decoded->height();
    const pg::ColorSpace space = decoded->colorSpace();
    const pg::BitmapInfo info = kOpaqueBitmapInfo;
    auto context = pg::BitmapContext::create(width, height, decoded->bitsPerComponent(), decoded->bytesPerRow(),
                                             space, info);
    if (!context) throw RemovingAlphaError(decoded, info, space);
    context->drawImage(*decoded, Rect{0, 0, double(width), double(height)});
    pg::BitmapPtr opaque = context->makeImage();
    if (!opaque || opaque->width() == 0) throw RemovingAlphaError(Case::makeImageFailed);
    return Image::withBitmap(std::move(opaque));
}

ImagePtr removingAlphaChannelReportingFailures(const Image& image) {
    try {
        ImagePtr result = removingAlphaChannel(image);
        logUsageEvent("alpha_channel_removal_succeeded", UsageEventProperties{{"image", result->description()}});
        return result;
    } catch (const RemovingAlphaError& error) {
        if (error.errorCase() == RemovingAlphaError::Case::CGContextInitFail) {
            const pg::BitmapPtr& decoded = error.imageRef();
            UsageEventProperties properties{
                {"imageRef", decoded ? decoded->description() : std::string()},
                {"bitsPerComponent", fmt::format("{}", decoded ? decoded->bitsPerComponent() : 0)},
                {"bytesPerRow", fmt::format("{}", decoded ? decoded->bytesPerRow() : 0)},
                {"bitmapInfo", error.bitmapInfo().description()},
                {"colorSpace", error.colorSpace().description()},
            };
            logUsageEvent("alpha_channel_removal_failed", properties);
        } else {
            logUsageEvent("alpha_channel_removal_failed",
                          UsageEventProperties{{"error", error.localizedDescription()}});
        }
        return image.copy();
    }
}

std::optional<std::vector<std::uint8_t>> pngData(const Image& image) { return image.pngData(); }

// --- The pipeline ----------------------------------------------------------------

ImagePtr converted(const Image& image, Size size, std::int64_t scaleType, double zoom,
                   const std::optional<pg::Color>& backgroundColour, bool isAlphaChannelRemoved, bool roundCorners,
                   bool addShadow) {
    std::optional<pg::Color> colour = backgroundColour;
    // An opaque picture needs something behind its transparent parts, or they turn black.
    if (isAlphaChannelRemoved && (!colour || colour->alpha() == 0)) colour = pg::Color::white();

    ImagePtr result = resized(image, size, scaleType);
    if (roundCorners) result = withRoundedCorners(*result);
    result = zoomed(*result, zoom);
    if (colour && colour->alpha() != 0) result = filledBackground(*result, colour);
    if (addShadow) result = withShadow(*result);
    if (!isAlphaChannelRemoved) return result;
    return removingAlphaChannelReportingFailures(*result);
}

}  // namespace gw
