#include "app/ui/asset_catalog.hpp"

#include "app/foundation/folder_scanning.hpp"

namespace gw {

namespace {

// "image1" … "image4" → 1 … 4; 0 for any other key.
int imageIndex(std::string_view key) {
    if (key.size() != 6 || key.substr(0, 5) != "image") return 0;
    const int n = key[5] - '0';
    return n >= 1 && n <= 4 ? n : 0;
}

}  // namespace

AssetCatalog::AssetCatalog(platform::foundation::URL path) : path_(std::move(path)) {
    try {
        images_ = imagesInFolder(path_);
    } catch (const std::exception&) {
        images_.clear();  // an unreadable catalog shows its name and no pictures
    }
    for (std::size_t i = 0; i < shown_.size() && i < images_.size(); ++i) shown_[i] = images_[i];
}

std::string AssetCatalog::name() const {
    auto folder = path_.fsPath();
    if (folder.filename().empty()) folder = folder.parent_path();  // a folder URL ends in '/'
    return folder.filename().string();
}

platform::graphics::ImagePtr AssetCatalog::image(int n) const {
    return n >= 1 && n <= 4 ? shown_[static_cast<std::size_t>(n - 1)] : nullptr;
}

void AssetCatalog::setImage(int n, platform::graphics::ImagePtr image) {
    if (n < 1 || n > 4) return;
    const std::string key = "image" + std::to_string(n);
    willChangeValueForKey(key);
    shown_[static_cast<std::size_t>(n - 1)] = std::move(image);
    didChangeValueForKey(key);
}

platform::appkit::KeyValue AssetCatalog::valueForKey(std::string_view key) const {
    if (const int n = imageIndex(key)) {
        if (auto picture = image(n)) return platform::appkit::KeyValue(picture);
        return {};
    }
    if (key == "name") return platform::appkit::KeyValue(name());
    return PropertyObservable::valueForKey(key);
}

bool AssetCatalog::setValueForKey(std::string_view key, const platform::appkit::KeyValue& value) {
    const int n = imageIndex(key);
    if (n == 0) return PropertyObservable::setValueForKey(key, value);
    const auto* picture = std::get_if<platform::graphics::ImagePtr>(&value.storage());
    setImage(n, picture ? *picture : nullptr);
    return true;
}

}  // namespace gw
