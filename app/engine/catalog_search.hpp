#pragma once
// Recognising asset catalogs by their folder names: a folder whose name ends with
// ".xcassets" (an asset catalog) or ".stickerpack" (a sticker pack, treated alike).
// The URL tests never touch the disk; the searches list folders.
#include "platform/foundation/url.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// The URL of the path with every leading and trailing "/" removed; only used to take
// a last path component.
platform::foundation::URL slashTrimmed(const platform::foundation::URL& url);

// The last path component ends with ".xcassets" or ".stickerpack" (letter case counts).
bool isAssetCatalog(const platform::foundation::URL& url);

// The outermost folder on the URL's path, the URL itself included, whose name ends with
// `suffix`; none when there is none.
std::optional<platform::foundation::URL> firstAncestor(const platform::foundation::URL& url,
                                                       std::string_view suffix);

// The URL is a catalog or lies inside one. The suffixes carry no dot, so a folder named
// "Myxcassets" counts too.
bool isInsideAssetCatalog(const platform::foundation::URL& url);

// The outermost catalog above the URL; none when there is none or the URL is the
// catalog itself.
std::optional<platform::foundation::URL> enclosingAssetCatalog(const platform::foundation::URL& url);

// The catalogs at any depth below `folder` (catalogs inside catalogs too), in listing
// order; only `folder` when it is a catalog itself (nothing is listed then). A Trash
// below `folder` is not searched. Throws the file system's error (platform Error) when
// the folder cannot be listed.
std::vector<platform::foundation::URL> assetCatalogURLs(const platform::foundation::URL& folder);

// The folders and files at any depth below `folder` whose name is exactly `name`, in
// listing order, a Trash passed over. Throws like assetCatalogURLs.
std::vector<platform::foundation::URL> urls(std::string_view name, const platform::foundation::URL& folder);

}  // namespace gw
