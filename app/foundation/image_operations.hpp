#pragma once
// The image operations that turn a loaded picture into the picture of one PNG file:
// fitting to a target size, continuous corners, zoom, background fill, drop shadow,
// alpha removal and PNG encoding, and the pipeline that chains them.
//
// Every operation returns a new image and leaves its source alone. The drawing steps
// return lazy images: their handlers capture shared, immutable pieces of the source
// and draw only when the final picture is rendered (PNG encoding or alpha removal),
// on the thread that renders it. Nothing here is shared between calls, so any number
// of pictures can be converted on different threads at once.
#include "app/foundation/image_definition.hpp"
#include "platform/graphics/bezier_path.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/image.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

// True when either side is exactly 0; negative or non-finite sides are not zero.
bool sizeHasZeroSide(platform::graphics::Size size);

// --- Fitting --------------------------------------------------------------------

// Where a source of `source` points is drawn to fit inside (0, 0, target): centred,
// aspect ratio kept, transparent bars on two sides. Empty (never NaN) when either size
// has no area.
platform::graphics::Rect aspectFitDrawingRect(platform::graphics::Size source, platform::graphics::Size target);
// Where it is drawn to cover (0, 0, target): centred, scaled by the larger factor, the
// overflow cut off. Empty (never NaN) when the source has no area.
platform::graphics::Rect aspectFillDrawingRect(platform::graphics::Size source, platform::graphics::Size target);

// New images of exactly `size` points; null when the source has no representation
// to draw.
platform::graphics::ImagePtr resizedStretch(const platform::graphics::Image& image, platform::graphics::Size size);
platform::graphics::ImagePtr resizedAspectFit(const platform::graphics::Image& image, platform::graphics::Size size);
platform::graphics::ImagePtr resizedAspectFill(const platform::graphics::Image& image, platform::graphics::Size size);

// By the raw value of a ScaleType: 2 fit, 1 fill, anything else stretch. Throws
// ImageConversionError(failedToResizeImage) when there is nothing to draw; a zero-sized
// target is not refused here.
platform::graphics::ImagePtr resized(const platform::graphics::Image& image, platform::graphics::Size size,
                                     std::int64_t scaleType);

// --- Drawing steps --------------------------------------------------------------

// The continuous-corner outline of `rect` (y up): 22 elements, the corner unit a
// fraction of the width on both axes.
platform::graphics::BezierPath continuousCornerPath(platform::graphics::Rect rect);

// Clipped to the continuous-corner outline. Throws foundSizeZero or
// failedReplacingTransparentPixels.
platform::graphics::ImagePtr withRoundedCorners(const platform::graphics::Image& image);

// Magnified by `zoom` about the centre, on a canvas of the picture's pixel size.
// Exactly 1 gives a plain copy. Throws zoomFactorIsZero (zoom not above 0, NaN
// included), foundSizeZero or failedDrawingZoomedImage.
platform::graphics::ImagePtr zoomed(const platform::graphics::Image& image, double zoom);

// The colour put behind the picture: it shows only where the picture is transparent or
// partly so. Throws foundSizeZero or failedReplacingTransparentPixels.
platform::graphics::ImagePtr filledBackground(const platform::graphics::Image& image,
                                              const std::optional<platform::graphics::Color>& colour);

// A soft drop shadow below the picture, scaled to the height it is drawn at. Throws
// foundSizeZero.
platform::graphics::ImagePtr withShadow(const platform::graphics::Image& image);

// --- Alpha removal and PNG ------------------------------------------------------

// Why alpha removal failed. Carries no localised texts of its own.
class RemovingAlphaError : public std::runtime_error {
public:
    enum class Case : int {
        CGContextInitFail = 0,
        CGImageSourceCreateImageAtIndexFail = 1,
        makeImageFailed = 2,
    };

    explicit RemovingAlphaError(Case errorCase);
    // The opaque bitmap context was refused for this decoded picture and layout.
    RemovingAlphaError(platform::graphics::BitmapPtr imageRef, platform::graphics::BitmapInfo bitmapInfo,
                       platform::graphics::ColorSpace colorSpace);

    Case errorCase() const noexcept { return case_; }
    // Set for CGContextInitFail only.
    const platform::graphics::BitmapPtr& imageRef() const { return imageRef_; }
    platform::graphics::BitmapInfo bitmapInfo() const { return bitmapInfo_; }
    const platform::graphics::ColorSpace& colorSpace() const { return colorSpace_; }
    // The generic text an error without texts of its own gets.
    std::string localizedDescription() const;

private:
    Case case_;
    platform::graphics::BitmapPtr imageRef_;
    platform::graphics::BitmapInfo bitmapInfo_;
    platform::graphics::ColorSpace colorSpace_;
};

// The layout alpha removal draws into: skipped alpha last, 16-bit little-endian (4101).
inline constexpr platform::graphics::BitmapInfo kOpaqueBitmapInfo{0x1005u};

// Renders the picture and redraws it into an opaque bitmap; the new image's point size
// is its pixel size. A picture whose decoded form has no alpha at all comes back as a
// copy. Throws RemovingAlphaError.
platform::graphics::ImagePtr removingAlphaChannel(const platform::graphics::Image& image);

// The pipeline's last step: alpha removal whose failures never stop the conversion.
// Success sends "alpha_channel_removal_succeeded"; a refused bitmap context or any other
// RemovingAlphaError sends "alpha_channel_removal_failed" and returns `image` with its
// alpha. Other errors are thrown on.
platform::graphics::ImagePtr removingAlphaChannelReportingFailures(const platform::graphics::Image& image);

// The PNG bytes of the rendered picture (RGB when it is opaque, else RGBA), or none.
std::optional<std::vector<std::uint8_t>> pngData(const platform::graphics::Image& image);

// --- The pipeline ---------------------------------------------------------------

// Resize by `scaleType` (raw value), then optionally round the corners, zoom, fill the
// background, add the shadow and remove the alpha channel. Alpha removal with no
// background colour (or a clear one) fills with white first. Throws
// ImageConversionError from the first failing step.
platform::graphics::ImagePtr converted(const platform::graphics::Image& image, platform::graphics::Size size,
                                       std::int64_t scaleType, double zoom,
                                       const std::optional<platform::graphics::Color>& backgroundColour,
                                       bool isAlphaChannelRemoved, bool roundCorners, bool addShadow);

}  // namespace gw
