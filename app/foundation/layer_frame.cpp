#include "app/foundation/layer_frame.hpp"

#include "app/foundation/decoding_error.hpp"

#include <cmath>
#include <fmt/format.h>

namespace gw {

using platform::foundation::Dictionary;
using platform::foundation::Value;
using platform::graphics::Size;

double guardedRatio(double numerator, double denominator) {
    double ratio = numerator / denominator;
    return std::isfinite(ratio) ? ratio : 1.0;
}

namespace {

// Shortest decimal text with at least one decimal: 200.0, 0.5, 1e+16.
std::string decimalText(double value) {
    auto text = fmt::format("{}", value);
    if (text.find_first_of(".eEna") == std::string::npos) text += ".0";
    return text;
}

std::string sizeText(Size size) { return fmt::format("({}, {})", decimalText(size.width), decimalText(size.height)); }

}  // namespace

LayerFrame::LayerFrame(Size originalSize, Size canvasSize) { initialise(originalSize, canvasSize, false); }

LayerFrame::LayerFrame(Size size) { initialise(size, size, true); }

void LayerFrame::initialise(Size originalSize, Size canvasSize, bool isLocked) {
    setKeysAffectingValueForKey("isCenteredInCanvas", {"centerX", "centerY"});
    delegate_.reset();
    width_ = height_ = centerX_ = centerY_ = 0;
    widthToHeightRatio_ = heightToWidthRatio_ = 0;
    isAspectRatioLocked_ = true;
    adjustingForAspectRatio_ = false;
    originalSize_ = originalSize;
    canvasSize_ = canvasSize;
    isLocked_ = isLocked;

    adjustingForAspectRatio_ = true;
    setWidth(originalSize.width);
    setHeight(originalSize.height);
    adjustingForAspectRatio_ = false;
    recomputeRatios();
    setIsCenteredInCanvas(true);
}

template <class T>
void LayerFrame::store(T& field, T value, std::string_view key) {
    willChangeValueForKey(key);
    field = value;
    didChangeValueForKey(key);
}

void LayerFrame::recomputeRatios() {
    store(widthToHeightRatio_, guardedRatio(height_, width_), "widthToHeightRatio");
    store(heightToWidthRatio_, guardedRatio(width_, height_), "heightToWidthRatio");
}

void LayerFrame::tellDelegate() {
    if (auto delegate = delegate_.lock()) delegate->layerFrameDidChange(*this);
}

void LayerFrame::setWidth(double width) {
    store(width_, width, "width");
    if (isAspectRatioLocked_ && !adjustingForAspectRatio_) {
        setAdjustingForAspectRatio(true);
        setHeight(width * widthToHeightRatio_);
        setAdjustingForAspectRatio(false);
    }
    tellDelegate();
}

void LayerFrame::setHeight(double height) {
    store(height_, height, "height");
    if (isAspectRatioLocked_ && !adjustingForAspectRatio_) {
        setAdjustingForAspectRatio(true);
        setWidth(height * heightToWidthRatio_);
        setAdjustingForAspectRatio(false);
    }
    tellDelegate();
}

void LayerFrame::setCenterX(double centerX) {
    store(centerX_, centerX, "centerX");
    tellDelegate();
}

void LayerFrame::setCenterY(double centerY) {
    store(centerY_, centerY, "centerY");
    tellDelegate();
}

void LayerFrame::setIsAspectRatioLocked(bool locked) {
    store(isAspectRatioLocked_, locked, "isAspectRatioLocked");
    if (!locked) return;
    setAdjustingForAspectRatio(true);
    setWidth(originalSize_.width);
    setHeight(originalSize_.height);
    setAdjustingForAspectRatio(false);
    recomputeRatios();
}

void LayerFrame::setAdjustingForAspectRatio(bool adjusting) {
    store(adjustingForAspectRatio_, adjusting, "adjustingForAspectRatio");
}

void LayerFrame::setWidthToHeightRatio(double ratio) {
    store(widthToHeightRatio_, std::isfinite(ratio) ? ratio : 1.0, "widthToHeightRatio");
}

void LayerFrame::setHeightToWidthRatio(double ratio) {
    store(heightToWidthRatio_, std::isfinite(ratio) ? ratio : 1.0, "heightToWidthRatio");
}

bool LayerFrame::isCenteredInCanvas() const {
    return centerX_ == canvasSize_.width * 0.5 && centerY_ == canvasSize_.height * 0.5;
}

void LayerFrame::setIsCenteredInCanvas(bool centered) {
    if (!centered) return;
    setCenterX(canvasSize_.width * 0.5);
    setCenterY(canvasSize_.height * 0.5);
}

LayerFrame::Scaled LayerFrame::scaled(double factor) const {
    auto half = [factor](double v) { return std::round(2.0 * v * factor) / 2.0; };
    return Scaled{half(width_), half(height_), half(centerX_), half(centerY_)};
}

std::string LayerFrame::debugDescription() const {
    return fmt::format(
        "centerX:{}, centerY:{},\nwidth:{}, height:{},\nisCenteredInCanvas:{}, originalSize:{} isLocked:{}\n"
        "canvasSize:{}",
        decimalText(centerX_), decimalText(centerY_), decimalText(width_), decimalText(height_),
        isCenteredInCanvas(), sizeText(originalSize_), isLocked_, sizeText(canvasSize_));
}

Value LayerFrame::encode() const {
    Dictionary dict;
    dict.emplace("originalSize", coding::encodeSize(originalSize_));
    dict.emplace("width", Value(width_));
    dict.emplace("height", Value(height_));
    dict.emplace("centerX", Value(centerX_));
    dict.emplace("centerY", Value(centerY_));
    dict.emplace("isAspectRatioLocked", Value(isAspectRatioLocked_));
    dict.emplace("isLocked", Value(isLocked_));
    dict.emplace("adjustingForAspectRatio", Value(adjustingForAspectRatio_));
    dict.emplace("widthToHeightRatio", Value(widthToHeightRatio_));
    dict.emplace("heightToWidthRatio", Value(heightToWidthRatio_));
    dict.emplace("canvasSize", coding::encodeSize(canvasSize_));
    return Value(std::move(dict));
}

std::shared_ptr<LayerFrame> LayerFrame::decode(const Value& value) {
    const auto& dict = coding::requireDictionary(value, "LayerFrame");
    std::shared_ptr<LayerFrame> frame(new LayerFrame(Decoded{}));
    frame->setKeysAffectingValueForKey("isCenteredInCanvas", {"centerX", "centerY"});
    frame->originalSize_ = coding::requireSize(dict, "originalSize");
    frame->width_ = coding::requireDouble(dict, "width");
    frame->height_ = coding::requireDouble(dict, "height");
    frame->centerX_ = coding::requireDouble(dict, "centerX");
    frame->centerY_ = coding::requireDouble(dict, "centerY");
    frame->isAspectRatioLocked_ = coding::requireBool(dict, "isAspectRatioLocked");
    frame->isLocked_ = coding::requireBool(dict, "isLocked");
    frame->adjustingForAspectRatio_ = coding::requireBool(dict, "adjustingForAspectRatio");
    frame->widthToHeightRatio_ = coding::requireDouble(dict, "widthToHeightRatio");
    frame->heightToWidthRatio_ = coding::requireDouble(dict, "heightToWidthRatio");
    frame->canvasSize_ = coding::requireSize(dict, "canvasSize");
    return frame;
}

}  // namespace gw
