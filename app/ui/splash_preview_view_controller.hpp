#pragma once
// The launch-image preview panel: the engine's pictures as launch screens on five
// device screens, each inside a device-frame drawing, with the scale type, zoom,
// background colour (by hand or from each picture's corner) and the frame colour.
// Previews render off the main thread on the panel's own serial queue; every new
// request cancels the pending one, and a result reaches the screens only when it
// answers the latest request.
#include "app/engine/glyphwright.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/image_view.hpp"
#include "platform/appkit/qt/small_controls.hpp"
#include "platform/dispatch/operation_queue.hpp"

#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <memory>

namespace gw {

class SplashPreviewViewController : public QWidget {
public:
    explicit SplashPreviewViewController(QWidget* parent = nullptr);
    ~SplashPreviewViewController() override;

    // Makes the panel as its interface does: controls, then the engine, then viewDidLoad.
    static SplashPreviewViewController* makeWithInterface(const std::shared_ptr<Glyphwright>& engine,
                                                          QWidget* parent = nullptr);

    std::shared_ptr<Glyphwright> glyphwright() const { return glyphwright_.lock(); }
    // Registers the panel with the engine and makes its own list controller over the
    // engine's pictures.
    void setGlyphwright(const std::shared_ptr<Glyphwright>& engine);
    const std::shared_ptr<platform::appkit::ArrayController>& arrayController() const { return arrayController_; }

    // Outlets.
    platform::appkit::qt::ImageView* iPhone4Background() const { return backgrounds_[0]; }
    platform::appkit::qt::ImageView* iPhone5Background() const { return backgrounds_[1]; }
    platform::appkit::qt::ImageView* iPhone6Background() const { return backgrounds_[2]; }
    platform::appkit::qt::ImageView* iPadHorizontalBackground() const { return backgrounds_[3]; }
    platform::appkit::qt::ImageView* iPadVerticalBackground() const { return backgrounds_[4]; }
    // iPhone 4, iPhone 5, iPhone 6 Plus, vertical iPad, horizontal iPad.
    std::array<platform::appkit::qt::ImageView*, 5> screenImageViews() const;
    std::vector<platform::graphics::Size> screenSizes() const;
    platform::appkit::qt::SegmentedControl* scaleTypeSegmentedControl() const { return scaleTypeSegmentedControl_; }
    platform::appkit::qt::SegmentedControl* deviceBlackWhiteSegmentedControl() const {
        return deviceBlackWhiteSegmentedControl_;
    }
    platform::appkit::qt::ColorWell* colorWell() const { return colorWell_; }
    QCheckBox* autoSelectColorCheckbox() const { return autoSelectColorCheckbox_; }
    QLineEdit* zoomAmountTextField() const { return zoomAmountTextField_; }
    platform::appkit::qt::Slider* zoomSlider() const { return zoomSlider_; }
    void setZoomSlider(platform::appkit::qt::Slider* slider);
    QPushButton* resetZoomButton() const { return resetZoomButton_; }
    float zoom() const { return zoom_; }

    // View life cycle.
    void viewDidLoad();
    void viewDidAppear();

    // Actions.
    void scaleTypeChanged();
    void deviceColorChanged(platform::appkit::qt::SegmentedControl& sender);
    void backgroundColorChanged();
    void autoSelectColorCheckboxPressed();
    void zoomChanged(QObject* sender);
    void resetZoomPressed();

    void updatePreviews();
    void updateColorWell();
    void updateDeviceFrames();

    // Engine notifications the panel follows.
    void glyphwrightShowEditingPanel(const ImageInputPtr& inserted);
    void glyphwrightImageInputsDidChange();
    void glyphwrightSelectionDidChange();
    void glyphwrightCollectionTypeDidChange();

    // Renders asked for and results shown, for tests and the bench.
    std::size_t previewRequestCount() const { return requests_; }
    std::size_t appliedPreviewCount() const { return applied_; }
    // Blocks until the render queue is idle (results may still wait on the main queue).
    void waitForPendingRenders() { operationQueue_->waitUntilAllOperationsAreFinished(); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    class DelegateBridge;
    bool isShowing() const;
    std::vector<ImageInputPtr> selectedPictures() const;
    void arrangedObjectsChanged();
    void writeEveryPicture(const char* keyPath, const platform::appkit::KeyValue& value);

    std::weak_ptr<Glyphwright> glyphwright_;
    std::shared_ptr<platform::appkit::ArrayController> arrayController_;
    std::array<platform::appkit::qt::ImageView*, 5> backgrounds_{};
    platform::appkit::qt::ImageView* iPhone4ScreenImageView_ = nullptr;
    platform::appkit::qt::ImageView* iPhone5ScreenImageView_ = nullptr;
    platform::appkit::qt::ImageView* iPhone6PlusImageView_ = nullptr;
    platform::appkit::qt::ImageView* iPadHorizontalScreenImageView_ = nullptr;
    platform::appkit::qt::ImageView* iPadVerticalScreenImageView_ = nullptr;
    platform::appkit::qt::SegmentedControl* scaleTypeSegmentedControl_ = nullptr;
    platform::appkit::qt::SegmentedControl* deviceBlackWhiteSegmentedControl_ = nullptr;
    platform::appkit::qt::ColorWell* colorWell_ = nullptr;
    QCheckBox* autoSelectColorCheckbox_ = nullptr;
    QLineEdit* zoomAmountTextField_ = nullptr;
    QPointer<platform::appkit::qt::Slider> zoomSlider_;
    QPushButton* resetZoomButton_ = nullptr;
    float zoom_ = 0;
    std::unique_ptr<platform::dispatch::OperationQueue> operationQueue_;
    std::unique_ptr<platform::appkit::KeyPathObservation> arrangedObjectsObservation_;
    std::shared_ptr<DelegateBridge> delegateBridge_;
    // Gone with the panel: work that outlives it checks this before touching it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::uint64_t generation_ = 0;  // main thread only
    std::size_t requests_ = 0;
    std::size_t applied_ = 0;
};

}  // namespace gw
