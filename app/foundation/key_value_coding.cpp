// The keys under which the panels bind to pictures and layer frames.
#include "app/foundation/image_input.hpp"
#include "app/foundation/layer_frame.hpp"

#include <cmath>

namespace gw {

using platform::appkit::KeyValue;
using platform::appkit::KeyValueCoding;

namespace {

// What bindings see of an image wrapper: its picture under "image". A wrapper never
// changes its picture; a new picture comes with a new wrapper, announced by the
// picture's "imageWrapper".
class ImageWrapperKeyValues : public KeyValueCoding {
public:
    explicit ImageWrapperKeyValues(std::shared_ptr<ImageWrapper> wrapper) : wrapper_(std::move(wrapper)) {}
    KeyValue valueForKey(std::string_view key) const override {
        if (key == "image" && wrapper_) return wrapper_->image();
        return {};
    }
    Token addKeyObserver(std::string, ChangeHandler) override { return 0; }
    void removeKeyObserver(Token) override {}

private:
    std::shared_ptr<ImageWrapper> wrapper_;
};

// Numbers, or text that is a number; anything else is refused.
std::optional<double> number(const KeyValue& value) {
    if (!value.isNumber()) return std::nullopt;
    double d = value.doubleValue();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

KeyValue colourValue(const std::optional<platform::graphics::Color>& colour) {
    return colour ? KeyValue(*colour) : KeyValue();
}

}  // namespace

KeyValue ImageInput::valueForKey(std::string_view key) const {
    if (key == "imageWrapper") return KeyValue(std::make_shared<ImageWrapperKeyValues>(imageWrapper()));
    if (key == "padding") return padding();
    if (key == "zoom") return zoom();
    if (key == "scaleType") return static_cast<std::int64_t>(scaleType());
    if (key == "backgroundColour") return colourValue(backgroundColour());
    if (key == "cornerPixelColor") return colourValue(cornerPixelColor());
    if (key == "assetPointWidth") return assetPointWidth();
    if (key == "assetPointHeight") return assetPointHeight();
    if (key == "isAspectRatioLocked") return isAspectRatioLocked();
    if (key == "deviceTypesRawValues") return KeyValue(KeyValue::IntegerSet(deviceTypesRawValues()));
    if (key == "tvOSAppIconlayerFrame") return KeyValue(tvOSAppIconlayerFrame());
    if (key == "tvOSLeaderboardLayerFrame") return KeyValue(tvOSLeaderboardLayerFrame());
    if (key == "imageName") return imageName();
    return {};
}

bool ImageInput::setValueForKey(std::string_view key, const KeyValue& value) {
    if (key == "backgroundColour") {
        if (!value.isNil() && !value.color()) return false;
        setBackgroundColour(value.color());
        return true;
    }
    if (key == "isAspectRatioLocked") {
        if (value.isMarker()) return false;
        setIsAspectRatioLocked(value.boolValue());
        return true;
    }
    if (key == "deviceTypesRawValues") {
        auto set = value.integerSet();
        if (!set) return false;
        for (auto raw : *set) {
            if (raw < 0 || raw > 5) return false;
        }
        setDeviceTypesRawValues(*set);
        return true;
    }
    if (key == "imageName") {
        if (!value.isString()) return false;
        setImageName(value.stringValue());
        return true;
    }
    auto n = number(value);
    if (!n) return false;
    if (key == "padding") {
        setPadding(*n);
    } else if (key == "zoom") {
        setZoom(*n);
    } else if (key == "scaleType") {
        if (*n != 0 && *n != 1 && *n != 2) return false;
        setScaleType(static_cast<ScaleType>(static_cast<std::int64_t>(*n)));
    } else if (key == "assetPointWidth") {
        setAssetPointWidth(*n);
    } else if (key == "assetPointHeight") {
        setAssetPointHeight(*n);
    } else {
        return false;
    }
    return true;
}

KeyValue LayerFrame::valueForKey(std::string_view key) const {
    if (key == "width") return width();
    if (key == "height") return height();
    if (key == "centerX") return centerX();
    if (key == "centerY") return centerY();
    if (key == "isLocked") return isLocked();
    if (key == "isAspectRatioLocked") return isAspectRatioLocked();
    if (key == "isCenteredInCanvas") return isCenteredInCanvas();
    return {};
}

bool LayerFrame::setValueForKey(std::string_view key, const KeyValue& value) {
    if (key == "isAspectRatioLocked" || key == "isCenteredInCanvas") {
        if (value.isMarker()) return false;
        if (key == "isAspectRatioLocked") {
            setIsAspectRatioLocked(value.boolValue());
        } else {
            setIsCenteredInCanvas(value.boolValue());
        }
        return true;
    }
    auto n = number(value);
    if (!n) return false;
    if (key == "width") {
        setWidth(*n);
    } else if (key == "height") {
        setHeight(*n);
    } else if (key == "centerX") {
        setCenterX(*n);
    } else if (key == "centerY") {
        setCenterY(*n);
    } else {
        return false;
    }
    return true;
}

}  // namespace gw
