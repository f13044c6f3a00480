#pragma once
// The window that asks what to do with an asset folder that is about to be written and
// already holds pictures: write under a new free name, overwrite, or add to it; the always
// box makes the answer permanent. Made once and reused for every prompt.
#include "app/engine/file_writing_validators.hpp"
#include "platform/appkit/qt/image_view.hpp"
#include "platform/appkit/qt/matrix.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <memory>
#include <optional>

namespace gw {

class AssetAlreadyExistsWindow : public platform::appkit::qt::Window, public AssetAlreadyExistsPrompting {
public:
    AssetAlreadyExistsWindow();

    platform::appkit::qt::Matrix* selectionMatrix() const { return selectionMatrix_; }
    QCheckBox* alwaysButton() const { return alwaysButton_; }
    QLabel* detailTextField() const { return detailTextField_; }
    platform::appkit::qt::ImageView* inputImageView() const { return inputImageView_; }
    platform::appkit::qt::ImageView* existingImageView() const { return existingImageView_; }
    QPushButton* continueButton() const { return continueButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

    const platform::graphics::ImagePtr& image() const { return image_; }
    // A picture is shown fitted into the input view; none leaves the view as it is.
    void setImage(platform::graphics::ImagePtr image);
    const std::optional<platform::foundation::URL>& outputDirectory() const { return outputDirectory_; }
    void setOutputDirectory(std::optional<platform::foundation::URL> url) { outputDirectory_ = std::move(url); }
    bool isAppendOptionAvailable() const { return isAppendOptionAvailable_; }
    void setIsAppendOptionAvailable(bool available) { isAppendOptionAvailable_ = available; }

    // Fills the window for the output directory; nothing without one.
    void setUpForOutputDirectory();
    // Row 2 is enabled exactly when appending is available; without it row 0 is selected.
    void updateAppendOption();

    void continuePressed();
    void cancelPressed();

    // The whole prompt: set-up, modal run, order out, then the row and the always box.
    AlreadyExistsAnswer runModal(const AssetAlreadyExistsPrompt& prompt) override;

private:
    platform::appkit::qt::Matrix* selectionMatrix_ = nullptr;
    QCheckBox* alwaysButton_ = nullptr;
    QLabel* detailTextField_ = nullptr;
    platform::appkit::qt::ImageView* inputImageView_ = nullptr;
    platform::appkit::qt::ImageView* existingImageView_ = nullptr;
    QPushButton* continueButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    platform::graphics::ImagePtr image_;
    std::optional<platform::foundation::URL> outputDirectory_;
    bool isAppendOptionAvailable_ = false;
};

}  // namespace gw
