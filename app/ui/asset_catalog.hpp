#pragma once
// One existing catalog as the multiple-catalogs chooser lists it: its folder and one
// picture per folder inside it (the largest file's), the first four offered as
// "image1" … "image4" for a tile.
#include "platform/appkit/property_observable.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <array>
#include <string>
#include <vector>

namespace gw {

class AssetCatalog : public platform::appkit::PropertyObservable {
public:
    // Loads the pictures now, on the calling thread; a folder that cannot be read gives none.
    explicit AssetCatalog(platform::foundation::URL path);

    const platform::foundation::URL& path() const { return path_; }
    std::string name() const;
    const std::vector<platform::graphics::ImagePtr>& images() const { return images_; }
    // The n-th (1 to 4) of the first four pictures; null where there are fewer.
    platform::graphics::ImagePtr image(int n) const;
    void setImage(int n, platform::graphics::ImagePtr image);

    platform::appkit::KeyValue valueForKey(std::string_view key) const override;
    bool setValueForKey(std::string_view key, const platform::appkit::KeyValue& value) override;

private:
    platform::foundation::URL path_;
    std::vector<platform::graphics::ImagePtr> images_;
    std::array<platform::graphics::ImagePtr, 4> shown_;
};

}  // namespace gw
