#pragma once
// File names and folders: the display name of a picture file, free names for new
// catalogs and assets, finding an existing folder, and the application's own folders.
#include "platform/foundation/url.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gw {

// The picture's name as shown and used for assets: the last path component without
// its extension and without a trailing scale suffix ("@2x"). The result is safe as one
// path component (see sanitizedPathComponent); none for a URL without a last component.
std::optional<std::string> fileName(const platform::foundation::URL& url);

// The URL itself when nothing is at its path, else the next incremented name that is
// free.
platform::foundation::URL nextAvailablePath(const platform::foundation::URL& url);
// The last path component with the next number: Assets.xcassets -> Assets1.xcassets,
// Icon9.appiconset -> Icon10.appiconset.
platform::foundation::URL incrementedFileName(const platform::foundation::URL& url);

// The first folder named `name` at any depth below `directory` (a folder before its
// contents; entries of a folder in name order). None when there is none.
std::optional<platform::foundation::URL> subfolderWithName(const std::string& name,
                                                           const platform::foundation::URL& directory);

// The folders that the application can look up.
enum class SearchPathDirectory : std::uint64_t { applicationSupportDirectory = 14, cachesDirectory = 13 };
enum class SearchPathDomainMask : std::uint64_t { userDomainMask = 1 };

// The folder (with `appendComponent` below it when given), created with its parents.
// None when there is no such folder or it cannot be created; `error` then says why.
std::optional<std::string> findOrCreateDirectory(SearchPathDirectory directory, SearchPathDomainMask domain,
                                                 const std::optional<std::string>& appendComponent,
                                                 std::string* error = nullptr);
// The application's own Application Support folder, created when missing.
std::optional<std::string> applicationSupportDirectory();

// The element at `index`, or none when the index is outside the list.
template <class T>
const T* safeObjectAtIndex(const std::vector<T>& list, std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) return nullptr;
    return &list[static_cast<std::size_t>(index)];
}

}  // namespace gw
