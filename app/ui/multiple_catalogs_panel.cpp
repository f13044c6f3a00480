#include "app/ui/multiple_catalogs_panel.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/foundation/utf8.hpp"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>

namespace gw {

namespace pa = platform::appkit;
namespace qt = platform::appkit::qt;

AssetCatalogCollectionViewItem::AssetCatalogCollectionViewItem(QWidget* parent) : qt::CollectionViewItem(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    for (std::size_t i = 0; i < imageViews_.size(); ++i) {
        imageViews_[i] = new qt::ImageView(this);
        imageViews_[i]->setMinimumSize(40, 40);
        grid->addWidget(imageViews_[i], static_cast<int>(i / 2), static_cast<int>(i % 2));
    }
    layout->addLayout(grid);
    textField_ = new QLabel(this);
    textField_->setAlignment(Qt::AlignHCenter);
    layout->addWidget(textField_);
}

void AssetCatalogCollectionViewItem::setRepresentedObject(const pa::ArrayController::Element& object) {
    qt::CollectionViewItem::setRepresentedObject(object);
    assetCatalog_ = object.as<AssetCatalog>();
    for (int n = 1; n <= 4; ++n) imageView(n)->setImage(assetCatalog_ ? assetCatalog_->image(n) : nullptr);
    textField_->setText(assetCatalog_ ? QString::fromStdString(platform::foundation::escapedForDisplay(assetCatalog_->name()))
                                     : QString());
    // Catalogs in different folders often share their name: the whole path tells them apart.
    const QString where =
        assetCatalog_ ? QString::fromStdString(platform::foundation::escapedForDisplay(assetCatalog_->path().path())) : QString();
    setToolTip(where);
    setAccessibleDescription(where);
}

void AssetCatalogCollectionViewItem::setSelected(bool selected) {
    qt::CollectionViewItem::setSelected(selected);
    QPalette palette = textField_->palette();
    palette.setColor(QPalette::WindowText,
                     selected ? QColor(Qt::white) : QApplication::palette().color(QPalette::WindowText));
    textField_->setPalette(palette);
    update();
}

void AssetCatalogCollectionViewItem::paintEvent(QPaintEvent* event) {
    if (isSelected()) {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 4, 4);
        painter.fillPath(path, palette().color(QPalette::Highlight));
    }
    qt::CollectionViewItem::paintEvent(event);
}

MultipleCatalogsPanel::MultipleCatalogsPanel(QWidget* parent)
    : QDialog(parent), catalogs_(std::make_shared<pa::ArrayController>()) {
    catalogs_->setSelectsInsertedObjects(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString::fromStdString(LocalizedString::text("multiple-catalogs.message")), this));
    collectionView_ = new qt::CollectionView(this);
    collectionView_->setItemFactory([](QWidget* parent) { return new AssetCatalogCollectionViewItem(parent); });
    collectionView_->setMinItemSize(QSize(120, 130));
    collectionView_->setMaxItemSize(QSize(140, 150));
    collectionView_->setContent(catalogs_);
    layout->addWidget(collectionView_, 1);
    auto* buttons = new QHBoxLayout;
    cancelButton_ = new QPushButton(QString::fromStdString(LocalizedString::text("multiple-catalogs.cancel")), this);
    newButton_ = new QPushButton(QString::fromStdString(LocalizedString::text("multiple-catalogs.new-catalog")), this);
    continueButton_ = new QPushButton(QString::fromStdString(LocalizedString::text("multiple-catalogs.continue")), this);
    continueButton_->setDefault(true);
    buttons->addWidget(cancelButton_);
    buttons->addStretch(1);
    buttons->addWidget(newButton_);
    buttons->addWidget(continueButton_);
    layout->addLayout(buttons);
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelPressed(); });
    connect(newButton_, &QPushButton::clicked, this, [this] { createNewCatalogPressed(); });
    connect(continueButton_, &QPushButton::clicked, this, [this] { continuePressed(); });
    // Initial report at once, then at every change of the selection.
    selectionObservation_ =
        catalogs_->addObserver(pa::ArrayController::Key::selectedObjects, [this] { updateContinueButton(); });
    updateContinueButton();
}

MultipleCatalogsPanel::~MultipleCatalogsPanel() { catalogs_->removeObserver(selectionObservation_); }

void MultipleCatalogsPanel::updateContinueButton() {
    continueButton_->setEnabled(!catalogs_->selectedObjects().empty());
}

void MultipleCatalogsPanel::setAssetCatalogURLs(const std::vector<platform::foundation::URL>& urls) {
    if (catalogs_->count() > 0) catalogs_->removeObjects(catalogs_->arrangedObjects());
    std::vector<pa::ArrayController::Element> tiles;
    tiles.reserve(urls.size());
    for (const auto& url : urls) tiles.push_back(pa::ArrayController::Element::of(std::make_shared<AssetCatalog>(url)));
    catalogs_->addObjects(tiles);
}

void MultipleCatalogsPanel::cancelPressed() {
    if (completionHandler_) completionHandler_(Cancelled{});
}

void MultipleCatalogsPanel::createNewCatalogPressed() {
    if (completionHandler_) completionHandler_(SelectedNewDirectory{});
}

void MultipleCatalogsPanel::continuePressed() {
    if (!completionHandler_) return;
    const auto selected = catalogs_->selectedObjects();
    if (selected.empty()) {
        std::fputs("Fatal error: Continue pressed without a selection being made\n", stderr);
        std::abort();
    }
    completionHandler_(SelectedAssetCatalog{selected.front().as<AssetCatalog>()});
}

void MultipleCatalogsPanel::beginSheet(QWidget* window, std::vector<platform::foundation::URL> assetCatalogURLs,
                                       Completion completion) {
    setAssetCatalogURLs(assetCatalogURLs);
    setCompletionHandler([this, completion = std::move(completion)](const Result& result) {
        hide();  // the caller's handler ends the sheet first
        if (!completion) return;
        if (const auto* chosen = std::get_if<SelectedAssetCatalog>(&result))
            completion(Choice::selectedCatalog, chosen->assetCatalog ? std::optional(chosen->assetCatalog->path())
                                                                     : std::nullopt);
        else if (std::holds_alternative<SelectedNewDirectory>(result))
            completion(Choice::newDirectory, std::nullopt);
        else
            completion(Choice::cancelled, std::nullopt);
    });
    // Not reparented: the panel is owned by its holder, not by the window it blocks; it is
    // made transient for it instead, so the window manager keeps it above that window.
    setWindowModality(window ? Qt::ApplicationModal : Qt::NonModal);
    if (window) {
        platform::appkit::qt::setTransientFor(*this, *window);
        // At the size it opens at, decoration included.
        adjustSize();
        platform::appkit::qt::centreOver(*this, window);
    }
    show();
}

}  // namespace gw
