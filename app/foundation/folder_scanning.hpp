#pragma once
// Finding the picture files of a folder tree, largest first.
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/image.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

// The file-name extensions of the pictures the application reads, in this order, in
// lower case. "tif" is not among them.
const std::vector<std::string>& supportedImageFileExtensions();
// Whether `extension` is one of them, in any case ("PNG", "Jpg").
bool isSupportedImageFileExtension(std::string_view extension);

// The supported extensions as a person reads them: ".psd, .png, … or .svg".
std::string supportedImageFileExtensionsText();

// Told of every picture file a scan or a folder's intake passes over (a symbolic link
// whose target does not exist, a file that cannot be read as a picture), with a
// user-visible sentence saying why. By default the sentence is logged.
using SkippedPictureHandler = std::function<void(const platform::foundation::URL&, const std::string&)>;
void setSkippedPictureHandler(SkippedPictureHandler handler);
// Tells the handler.
void reportSkippedPicture(const platform::foundation::URL& url, const std::string& why);

// Why a location met by a scan may not be read, as a sentence for the skipped-picture
// handler; nothing when it may.
using ReadingRefusal = std::function<std::optional<std::string>(const std::filesystem::path& location)>;

// Every file below `folder` (subfolders entered, hidden files and folders skipped,
// symbolic links to folders not followed, symbolic links to nothing skipped with a
// warning) whose extension is supported. Asset catalogs ("*.xcassets") below `folder`
// are not entered: what they hold is output, not artwork. Nor are `excludedFolders`
// (the same folders by identity, wherever they are reached from), so a catalog written
// inside the folder it was made from is never read back as input. A picture file or a
// symbolic link to a folder that `refusal` refuses is left out and reported to the
// skipped-picture handler with its reason. Never fails: a folder that cannot be read
// gives fewer or no files. The set is ordered by URL text, so repeated scans list the
// files in the same order.
// The folder is opened beneath `root` (everything when none is given) and walked by
// handles from there: nothing below it is looked up again by a path.
std::set<platform::foundation::URL> imageFileURLs(const platform::foundation::URL& folder,
                                                  const std::vector<platform::foundation::URL>& excludedFolders = {},
                                                  const ReadingRefusal& refusal = {},
                                                  const platform::foundation::files::RootHandle* root = nullptr);
// The same files in name order: by the bytes of their paths, so a folder's own files
// and its subfolders' files are ordered as a listing sorted by name shows them.
std::vector<platform::foundation::URL> imageFileURLsInNameOrder(
    const platform::foundation::URL& folder, const std::vector<platform::foundation::URL>& excludedFolders = {},
    const ReadingRefusal& refusal = {}, const platform::foundation::files::RootHandle* root = nullptr);

// Whether the first file is strictly larger than the second, by the sizes of the items
// themselves (a symbolic link counts with its own size); false when either has no size.
// Error (POSIX domain) when the attributes of either cannot be read.
bool isFileLarger(const platform::foundation::URL& first, const platform::foundation::URL& second);

// The supported files of `folder`, largest first; files of equal size keep the order of
// their URL text. Error when a file's size cannot be read.
std::vector<platform::foundation::URL> imageFileURLsLargestFirst(const platform::foundation::URL& folder);

// One picture per folder of the tree that holds a loadable picture file: the largest
// loadable one, in the order of their files' sizes, largest first. Files that do not
// load are passed over. Error when a file's size cannot be read. Decoding stops once
// `limit` pictures are found (the first `limit` of the whole list).
std::vector<platform::graphics::ImagePtr> imagesInFolder(const platform::foundation::URL& folder,
                                                         std::size_t limit = static_cast<std::size_t>(-1));

// The picture of the largest supported file of the tree; null when there is none or
// when that file does not load (smaller files are not tried). Error as above.
platform::graphics::ImagePtr firstImage(const platform::foundation::URL& folder);

}  // namespace gw
