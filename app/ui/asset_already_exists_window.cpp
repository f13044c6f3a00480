#include "app/ui/asset_already_exists_window.hpp"

#include "app/foundation/file_categories.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/ui/already_exists_layout.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/bundle_image.hpp"

#include <QGridLayout>
#include <QVBoxLayout>

namespace gw {

namespace qt = platform::appkit::qt;

AssetAlreadyExistsWindow::AssetAlreadyExistsWindow() {
    const auto top = ui::addPromptTop(*this);
    auto* layout = top.layout;
    detailTextField_ = top.detailTextField;

    auto* pictures = new QGridLayout;
    inputImageView_ = new qt::ImageView(this);
    existingImageView_ = new qt::ImageView(this);
    for (auto* view : {inputImageView_, existingImageView_}) view->setFixedSize(128, 128);
    pictures->addWidget(ui::makeCaption(LocalizedString::text("already-exists.caption.new"), this), 0, 0);
    pictures->addWidget(ui::makeCaption(LocalizedString::text("already-exists.caption.existing"), this), 0, 1);
    pictures->addWidget(inputImageView_, 1, 0);
    pictures->addWidget(existingImageView_, 1, 1);
    pictures->setColumnStretch(2, 1);
    layout->addLayout(pictures);

    selectionMatrix_ = new qt::Matrix(3, this);
    layout->addWidget(selectionMatrix_);
    layout->addStretch(1);

    auto buttons = ui::addPromptButtons(*this, *layout);
    alwaysButton_ = buttons.alwaysButton;
    continueButton_ = buttons.continueButton;
    cancelButton_ = buttons.cancelButton;
    connect(continueButton_, &QPushButton::clicked, this, [this] { continuePressed(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelPressed(); });
    resize(560, 420);
}

void AssetAlreadyExistsWindow::setImage(platform::graphics::ImagePtr image) {
    image_ = std::move(image);
    if (!image_) return;
    const QSize frame = inputImageView_->size();
    if (auto fitted = resizedAspectFit(*image_, {double(frame.width()), double(frame.height())})) {
        inputImageView_->setImage(std::move(fitted));
    }
}

void AssetAlreadyExistsWindow::setUpForOutputDirectory() {
    if (!outputDirectory_) return;
    const auto& directory = *outputDirectory_;

    platform::graphics::ImagePtr existing;
    try {
        existing = firstImage(directory);
    } catch (const std::exception&) {
        // An unreadable folder has no picture to show; the prompt still asks.
    }
    existingImageView_->setImage(existing ? existing : qt::bundleImage("Empty Asset"));

    // path() is already decoded: decoding again would turn a literal "%25" into "%".
    detailTextField_->setText(QString::fromStdString(LocalizedString::assetAlreadyExistsDetailText(
        directory.deletingLastPathComponent().path(), directory.lastPathComponent())));

    const std::string name = directory.lastPathComponent();
    ui::setOptionTitle(*selectionMatrix_, 0,
                       LocalizedString::assetAlreadyExistsNewOption(nextAvailablePath(directory).lastPathComponent()),
                       LocalizedString::assetAlreadyExistsNewOptionHighlight());
    ui::setOptionTitle(*selectionMatrix_, 1, LocalizedString::assetAlreadyExistsOverwriteOption(name),
                       LocalizedString::assetAlreadyExistsOverwriteOptionHighlight());
    ui::setOptionTitle(*selectionMatrix_, 2, LocalizedString::assetAlreadyExistsAppendOption(name),
                       LocalizedString::assetAlreadyExistsAppendOptionHighlight());
}

void AssetAlreadyExistsWindow::updateAppendOption() {
    selectionMatrix_->setRowEnabled(2, isAppendOptionAvailable_);
    if (!isAppendOptionAvailable_) selectionMatrix_->selectRow(0);
}

void AssetAlreadyExistsWindow::continuePressed() { ui::stopPrompt(1); }

void AssetAlreadyExistsWindow::cancelPressed() { ui::stopPrompt(0); }

AlreadyExistsAnswer AssetAlreadyExistsWindow::runModal(const AssetAlreadyExistsPrompt& prompt) {
    return ui::runPrompt(*this, *selectionMatrix_, *alwaysButton_, [&] {
        setOutputDirectory(prompt.outputDirectory);
        setUpForOutputDirectory();
        setIsAppendOptionAvailable(prompt.isAppendOptionAvailable);
        updateAppendOption();
        setImage(prompt.image);
    });
}

}  // namespace gw
