#include "app/ui/asset_catalog_already_exists_window.hpp"

#include "app/foundation/file_categories.hpp"
#include "app/foundation/folder_scanning.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/ui/already_exists_layout.hpp"
#include "platform/appkit/qt/application.hpp"

#include <QGridLayout>
#include <QVBoxLayout>

#include <cmath>

namespace gw {

namespace qt = platform::appkit::qt;

AssetCatalogAlreadyExistsWindow::AssetCatalogAlreadyExistsWindow() {
    const auto top = ui::addPromptTop(*this);
    auto* layout = top.layout;
    detailTextField_ = top.detailTextField;

    auto* pictures = new QGridLayout;
    pictures->setHorizontalSpacing(8);
    pictures->addWidget(ui::makeCaption(LocalizedString::text("already-exists.caption.new"), this), 0, 0, 1, 4);
    pictures->addWidget(ui::makeCaption(LocalizedString::text("already-exists.caption.existing"), this), 2, 0, 1, 4);
    for (int i = 0; i < kPictureCount; ++i) {
        inputImageViews_[i] = new qt::ImageView(this);
        existingImageViews_[i] = new qt::ImageView(this);
        inputImageViews_[i]->setFixedSize(72, 72);
        existingImageViews_[i]->setFixedSize(72, 72);
        pictures->addWidget(inputImageViews_[i], 1, i);
        pictures->addWidget(existingImageViews_[i], 3, i);
    }
    pictures->setColumnStretch(kPictureCount, 1);
    layout->addLayout(pictures);

    selectionMatrix_ = new qt::Matrix(3, this);
    // A choice is on from the start, as in any radio group, so Return adds to the catalog
    // rather than silently cancelling; later prompts keep the last choice.
    selectionMatrix_->selectRow(0);
    layout->addWidget(selectionMatrix_);
    layout->addStretch(1);

    auto buttons = ui::addPromptButtons(*this, *layout);
    alwaysButton_ = buttons.alwaysButton;
    continueButton_ = buttons.continueButton;
    cancelButton_ = buttons.cancelButton;
    connect(continueButton_, &QPushButton::clicked, this, [this] { continuePressed(); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelPressed(); });
    resize(480, kGrownHeight);
}

void AssetCatalogAlreadyExistsWindow::setUpForOutputDirectory() {
    if (!outputDirectory_) return;
    const auto& directory = *outputDirectory_;

    // Only four are shown: stop decoding there, a large catalog would otherwise hold up
    // the prompt for every picture it has.
    std::vector<platform::graphics::ImagePtr> existing;
    try {
        existing = imagesInFolder(directory, kPictureCount);
    } catch (const std::exception&) {
        // An unreadable catalog shows no pictures; the prompt still asks.
    }
    for (int i = 0; i < kPictureCount; ++i) {
        existingImageViews_[i]->setImage(static_cast<std::size_t>(i) < existing.size() ? existing[i] : nullptr);
    }

    // path() is already decoded: decoding again would turn a literal "%25" into "%".
    detailTextField_->setText(QString::fromStdString(LocalizedString::assetCatalogAlreadyExistsDetailText(directory.path())));

    const std::string name = directory.lastPathComponent();
    ui::setOptionTitle(*selectionMatrix_, 0, LocalizedString::assetCatalogAlreadyExistsAppendOption(name),
                       LocalizedString::assetCatalogAlreadyExistsAppendOptionHighlight());
    ui::setOptionTitle(
        *selectionMatrix_, 1,
        LocalizedString::assetCatalogAlreadyExistsNewOption(nextAvailablePath(directory).lastPathComponent()),
        LocalizedString::assetCatalogAlreadyExistsNewOptionHighlight());
    ui::setOptionTitle(*selectionMatrix_, 2, LocalizedString::assetCatalogAlreadyExistsOverwriteOption(name),
                       LocalizedString::assetCatalogAlreadyExistsOverwriteOptionHighlight());

    const qreal needed = widestTitleWidth() + kTitleMargin;
    if (frame().width() < needed) {
        setFrame(QRect(frame().topLeft(), QSize(static_cast<int>(std::ceil(needed)), kGrownHeight)));
    }
    center();
}

qreal AssetCatalogAlreadyExistsWindow::widestTitleWidth() const {
    qreal widest = 0;
    for (int row = 0; row < selectionMatrix_->numberOfRows(); ++row) {
        widest = std::max(widest, selectionMatrix_->rowTitleWidth(row));
    }
    return widest;
}

void AssetCatalogAlreadyExistsWindow::updateInputImageViews() {
    for (int i = 0; i < kPictureCount; ++i) {
        inputImageViews_[i]->setImage(static_cast<std::size_t>(i) < images_.size() ? images_[i] : nullptr);
    }
}

void AssetCatalogAlreadyExistsWindow::continuePressed() { ui::stopPrompt(1); }

void AssetCatalogAlreadyExistsWindow::cancelPressed() { ui::stopPrompt(0); }

AlreadyExistsAnswer AssetCatalogAlreadyExistsWindow::runModal(const AssetCatalogAlreadyExistsPrompt& prompt) {
    return ui::runPrompt(*this, *selectionMatrix_, *alwaysButton_, [&] {
        setOutputDirectory(prompt.outputDirectory);
        setUpForOutputDirectory();
        setImages(prompt.images);
        updateInputImageViews();
    });
}

}  // namespace gw
