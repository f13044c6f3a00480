#pragma once
// The window that asks what to do with an asset catalog that is about to be written and
// already holds something: add to it, create one under a new free name, or overwrite it;
// the always box makes the answer permanent. Shows up to four new and four existing
// pictures. Made once and reused for every prompt; its width only grows.
#include "app/engine/file_writing_validators.hpp"
#include "platform/appkit/qt/image_view.hpp"
#include "platform/appkit/qt/matrix.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <array>
#include <optional>
#include <vector>

namespace gw {

class AssetCatalogAlreadyExistsWindow : public platform::appkit::qt::Window, public AssetCatalogAlreadyExistsPrompting {
public:
    static constexpr int kPictureCount = 4;
    // The height the window takes when it has to grow wider.
    static constexpr int kGrownHeight = 468;
    // Room beside the widest option title: the radio button and the margins.
    static constexpr int kTitleMargin = 75;

    AssetCatalogAlreadyExistsWindow();

    platform::appkit::qt::Matrix* selectionMatrix() const { return selectionMatrix_; }
    QCheckBox* alwaysButton() const { return alwaysButton_; }
    QLabel* detailTextField() const { return detailTextField_; }
    // Index 0 to 3: inputImageView1 to inputImageView4.
    platform::appkit::qt::ImageView* inputImageView(int index) const { return inputImageViews_.at(index); }
    platform::appkit::qt::ImageView* existingImageView(int index) const { return existingImageViews_.at(index); }
    QPushButton* continueButton() const { return continueButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

    const std::optional<platform::foundation::URL>& outputDirectory() const { return outputDirectory_; }
    void setOutputDirectory(std::optional<platform::foundation::URL> url) { outputDirectory_ = std::move(url); }
    const std::vector<platform::graphics::ImagePtr>& images() const { return images_; }
    void setImages(std::vector<platform::graphics::ImagePtr> images) { images_ = std::move(images); }

    // Fills the window for the output directory (nothing without one), widens it when an
    // option title needs room and centres it.
    void setUpForOutputDirectory();
    // The first four new pictures; views beyond their number show nothing.
    void updateInputImageViews();
    // The widest option title as last measured.
    qreal widestTitleWidth() const;

    void continuePressed();
    void cancelPressed();

    AlreadyExistsAnswer runModal(const AssetCatalogAlreadyExistsPrompt& prompt) override;

private:
    platform::appkit::qt::Matrix* selectionMatrix_ = nullptr;
    QCheckBox* alwaysButton_ = nullptr;
    QLabel* detailTextField_ = nullptr;
    std::array<platform::appkit::qt::ImageView*, kPictureCount> inputImageViews_{};
    std::array<platform::appkit::qt::ImageView*, kPictureCount> existingImageViews_{};
    QPushButton* continueButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    std::optional<platform::foundation::URL> outputDirectory_;
    std::vector<platform::graphics::ImagePtr> images_;
};

}  // namespace gw
