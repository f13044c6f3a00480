#pragma once
// The chooser shown when a picked folder holds several catalogs: one tile per catalog
// (its name and up to four pictures), Continue with the selected one, a new catalog in
// the picked folder, or Cancel. The panel never closes itself: its caller ends it.
#include "app/ui/app_delegate.hpp"
#include "app/ui/asset_catalog.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/collection_view.hpp"
#include "platform/appkit/qt/image_view.hpp"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <array>
#include <functional>
#include <memory>
#include <variant>
#include <vector>

namespace gw {

// One tile: the catalog's first four pictures and its name; a rounded highlight when selected.
class AssetCatalogCollectionViewItem : public platform::appkit::qt::CollectionViewItem {
public:
    explicit AssetCatalogCollectionViewItem(QWidget* parent = nullptr);
    void setRepresentedObject(const platform::appkit::ArrayController::Element& object) override;
    void setSelected(bool selected) override;
    platform::appkit::qt::ImageView* imageView(int n) const { return imageViews_[static_cast<std::size_t>(n - 1)]; }
    QLabel* textField() const { return textField_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::shared_ptr<AssetCatalog> assetCatalog_;
    std::array<platform::appkit::qt::ImageView*, 4> imageViews_{};
    QLabel* textField_ = nullptr;
};

class MultipleCatalogsPanel : public QDialog, public MultipleCatalogsChoosing {
public:
    struct SelectedAssetCatalog {
        std::shared_ptr<AssetCatalog> assetCatalog;
    };
    struct SelectedNewDirectory {};
    struct Cancelled {};
    using Result = std::variant<SelectedAssetCatalog, SelectedNewDirectory, Cancelled>;

    explicit MultipleCatalogsPanel(QWidget* parent = nullptr);
    ~MultipleCatalogsPanel() override;

    // Replaces every tile (also with an empty list).
    void setAssetCatalogURLs(const std::vector<platform::foundation::URL>& urls);
    void setCompletionHandler(std::function<void(const Result&)> handler) { completionHandler_ = std::move(handler); }

    void cancelPressed();
    void createNewCatalogPressed();
    void continuePressed();

    const std::shared_ptr<platform::appkit::ArrayController>& assetCatalogsArrayController() const { return catalogs_; }
    platform::appkit::qt::CollectionView* collectionView() const { return collectionView_; }
    QPushButton* cancelButton() const { return cancelButton_; }
    QPushButton* continueButton() const { return continueButton_; }
    QPushButton* createNewCatalogButton() const { return newButton_; }

    void beginSheet(QWidget* window, std::vector<platform::foundation::URL> assetCatalogURLs,
                    Completion completion) override;

private:
    void updateContinueButton();

    std::shared_ptr<platform::appkit::ArrayController> catalogs_;
    platform::appkit::ArrayController::Token selectionObservation_ = 0;
    std::function<void(const Result&)> completionHandler_;
    platform::appkit::qt::CollectionView* collectionView_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* newButton_ = nullptr;
    QPushButton* continueButton_ = nullptr;
};

}  // namespace gw
