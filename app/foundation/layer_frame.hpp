#pragma once
// Where one picture sits in the canvas of a tvOS layer stack: its size and centre in
// canvas points, the picture's own size, and the aspect-ratio lock used while the
// user edits the frame. Observable by key ("width", "height", "centerX", "centerY",
// "isAspectRatioLocked", "isCenteredInCanvas", ...).
#include "app/foundation/property_observation.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "platform/foundation/value.hpp"
#include "platform/graphics/geometry.hpp"

#include <memory>
#include <string>

namespace gw {

class LayerFrame : public PropertyObservable {
public:
    struct Scaled {
        double width = 0;
        double height = 0;
        double centerX = 0;
        double centerY = 0;
    };

    // A frame of the picture's own size, centred in the canvas; not locked to it.
    LayerFrame(platform::graphics::Size originalSize, platform::graphics::Size canvasSize);
    // A frame that is its canvas: locked.
    explicit LayerFrame(platform::graphics::Size size);
    LayerFrame() = delete;

    static std::shared_ptr<LayerFrame> make(platform::graphics::Size originalSize,
                                            platform::graphics::Size canvasSize) {
        return std::make_shared<LayerFrame>(originalSize, canvasSize);
    }

    std::shared_ptr<LayerFrameDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<LayerFrameDelegate> delegate) { delegate_ = std::move(delegate); }

    platform::graphics::Size originalSize() const { return originalSize_; }
    platform::graphics::Size canvasSize() const { return canvasSize_; }
    double width() const { return width_; }
    double height() const { return height_; }
    double centerX() const { return centerX_; }
    double centerY() const { return centerY_; }
    bool isAspectRatioLocked() const { return isAspectRatioLocked_; }
    bool isLocked() const { return isLocked_; }
    bool adjustingForAspectRatio() const { return adjustingForAspectRatio_; }
    double widthToHeightRatio() const { return widthToHeightRatio_; }
    double heightToWidthRatio() const { return heightToWidthRatio_; }

    // With the lock on (and not already adjusting), the other side follows through the
    // stored ratio. The delegate is told of every change.
    void setWidth(double width);
    void setHeight(double height);
    void setCenterX(double centerX);
    void setCenterY(double centerY);
    // Switching the lock on while adjusting returns the frame to its original size.
    void setIsAspectRatioLocked(bool locked);
    void setAdjustingForAspectRatio(bool adjusting);
    // A side of zero gives a ratio of 1 rather than a value that is not a number.
    void setWidthToHeightRatio(double ratio);
    void setHeightToWidthRatio(double ratio);

    platform::graphics::Size selectedPointSize() const { return {width_, height_}; }
    bool isCenteredInCanvas() const;
    // True centres the frame; false does nothing.
    void setIsCenteredInCanvas(bool centered);

    // The frame multiplied by `factor`, each value rounded to the nearest half point.
    Scaled scaled(double factor) const;

    std::string debugDescription() const;

    // Key-value coding for bindings: "width", "height", "centerX", "centerY",
    // "isLocked" (read only), "isAspectRatioLocked", "isCenteredInCanvas". Numbers may
    // come as numeric text.
    platform::appkit::KeyValue valueForKey(std::string_view key) const override;
    bool setValueForKey(std::string_view key, const platform::appkit::KeyValue& value) override;

    // The keyed form: "originalSize", "width", "height", "centerX", "centerY",
    // "isAspectRatioLocked", "isLocked", "adjustingForAspectRatio",
    // "widthToHeightRatio", "heightToWidthRatio", "canvasSize".
    platform::foundation::Value encode() const;
    // Every key required; the values go straight into the fields, nobody is told.
    // DecodingError when a key is missing or mistyped.
    static std::shared_ptr<LayerFrame> decode(const platform::foundation::Value& value);

private:
    struct Decoded {};
    explicit LayerFrame(Decoded) {}
    void initialise(platform::graphics::Size originalSize, platform::graphics::Size canvasSize, bool isLocked);
    void recomputeRatios();
    void tellDelegate();
    template <class T>
    void store(T& field, T value, std::string_view key);

    std::weak_ptr<LayerFrameDelegate> delegate_;
    platform::graphics::Size originalSize_;
    platform::graphics::Size canvasSize_;
    double width_ = 0;
    double height_ = 0;
    double centerX_ = 0;
    double centerY_ = 0;
    bool isAspectRatioLocked_ = true;
    bool isLocked_ = false;
    bool adjustingForAspectRatio_ = false;
    double widthToHeightRatio_ = 0;
    double heightToWidthRatio_ = 0;
};

// other ÷ side, or 1 when that is not a finite number (a side of zero).
double guardedRatio(double numerator, double denominator);

}  // namespace gw
