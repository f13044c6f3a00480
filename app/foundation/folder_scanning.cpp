#include "app/foundation/folder_scanning.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/error.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

namespace gw {

namespace fs = std::filesystem;
using platform::foundation::URL;

const std::vector<std::string>& supportedImageFileExtensions() {
    static const std::vector<std::string> extensions{"psd", "png", "jpg", "jpeg", "bmp", "gif", "pdf", "tiff", "svg"};
    return extensions;
}

namespace {

std::mutex handlerMutex;
SkippedPictureHandler& skippedPictureHandler() {
    static SkippedPictureHandler handler;
    return handler;
}

}  // namespace

bool isSupportedImageFileExtension(std::string_view extension) {
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto& supported = supportedImageFileExtensions();
    return std::find(supported.begin(), supported.end(), lower) != supported.end();
}

std::string supportedImageFileExtensionsText() {
    const auto& extensions = supportedImageFileExtensions();
    std::string text;
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        if (i > 0) text += i + 1 == extensions.size() ? " or " : ", ";
        text += "." + extensions[i];
    }
    return text;
}

void setSkippedPictureHandler(SkippedPictureHandler handler) {
    std::lock_guard lock(handlerMutex);
    skippedPictureHandler() = std::move(handler);
}

namespace {

bool isHidden(const fs::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

bool isAssetCatalogName(const fs::path& path) {
    std::string name = path.filename().string();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name.ends_with(".xcassets");
}

// Folders by identity: the same folder reached through any path or link.
class FolderSet {
public:
    void add(const fs::path& folder) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) folders_.emplace_back(info.st_dev, info.st_ino);
    }
    bool contains(const fs::path& folder) const {
        if (folders_.empty()) return false;
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0) return false;
        return std::find(folders_.begin(), folders_.end(), std::make_pair(info.st_dev, info.st_ino)) != folders_.end();
    }

private:
    std::vector<std::pair<dev_t, ino_t>> folders_;
};

}  // namespace

void reportSkippedPicture(const URL& url, const std::string& why) {
    SkippedPictureHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = skippedPictureHandler();
    }
    if (handler) {
        handler(url, why);
    } else {
        Logger::log(why);
    }
}

namespace {

// The size of the item at `url` itself (a symbolic link is not followed, so a dangling
// link sorts by its own size instead of failing the whole scan); none for an item
// without a size of its own. Error when its attributes cannot be read.
std::optional<std::uint64_t> fileSize(const URL& url) {
    struct stat info {};
    const std::string path = url.path();
    if (::lstat(path.c_str(), &info) != 0) {
        throw platform::foundation::Error::posix(errno, "Cannot read the attributes of " + path);
    }
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) && !S_ISLNK(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace

std::set<URL> imageFileURLs(const URL& folder, const std::vector<URL>& excludedFolders, const ReadingRefusal& refusal) {
    std::set<URL> found;
    FolderSet excluded;
    for (const auto& url : excludedFolders) excluded.add(url.fsPath());
    std::error_code ec;
    // Symbolic links to folders are not entered, so a link back up the tree cannot make
    // the walk endless.
    fs::recursive_directory_iterator it(folder.fsPath(), fs::directory_options::skip_permission_denied, ec);
    if (ec) return found;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path& path = it->path();
        if (isHidden(path)) {
            std::error_code dirError;
            if (it->is_directory(dirError)) it.disable_recursion_pending();
            continue;
        }
        std::error_code typeError;
        const bool isDirectory = it->is_directory(typeError);
        const bool isLink = it->is_symlink(typeError);
        if (isDirectory && !isLink && (isAssetCatalogName(path) || excluded.contains(path))) {
            it.disable_recursion_pending();
            continue;
        }
        URL url = URL::fileURL(path, isDirectory);
        auto refused = [&] {
            const auto why = refusal ? refusal(path) : std::nullopt;
            if (why) reportSkippedPicture(url, *why);
            return why.has_value();
        };
        // Never entered; but where it leads out of bounds, the user hears why its
        // pictures are missing.
        if (isDirectory && isLink && refused()) continue;
        // A folder named like a picture ("art.png") is no picture: its own pictures are
        // found inside it, and a linked one is not entered.
        if (isDirectory || !isSupportedImageFileExtension(url.pathExtension())) continue;
        std::error_code linkError;
        if (isLink && !fs::exists(fs::status(path, linkError))) {
            // One broken link must not cost the folder its other pictures.
            reportSkippedPicture(url, LocalizedString::text("folder-scan.warning.dangling-link", path.string()));
            continue;
        }
        if (refused()) continue;
        found.insert(std::move(url));
    }
    return found;
}

std::vector<URL> imageFileURLsInNameOrder(const URL& folder, const std::vector<URL>& excludedFolders,
                                          const ReadingRefusal& refusal) {
    const auto found = imageFileURLs(folder, excludedFolders, refusal);
    std::vector<URL> ordered(found.begin(), found.end());
    std::sort(ordered.begin(), ordered.end(),
              [](const URL& a, const URL& b) { return a.fsPath().native() < b.fsPath().native(); });
    return ordered;
}

bool isFileLarger(const URL& first, const URL& second) {
    const auto firstSize = fileSize(first);
    if (!firstSize) return false;
    const auto secondSize = fileSize(second);
    if (!secondSize) return false;
    return *firstSize > *secondSize;
}

std::vector<URL> imageFileURLsLargestFirst(const URL& folder) {
    const auto urls = imageFileURLs(folder);
    // Sizes are read once each, so a file that changes while sorting cannot break the
    // ordering; an item without a size sorts as the smallest.
    std::vector<std::pair<URL, std::uint64_t>> sized;
    sized.reserve(urls.size());
    for (const auto& url : urls) {
        const auto size = fileSize(url);
        sized.emplace_back(url, size.value_or(0));
    }
    std::stable_sort(sized.begin(), sized.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<URL> result;
    result.reserve(sized.size());
    for (auto& entry : sized) result.push_back(std::move(entry.first));
    return result;
}

std::vector<platform::graphics::ImagePtr> imagesInFolder(const URL& folder, std::size_t limit) {
    std::vector<platform::graphics::ImagePtr> images;
    std::set<URL> servedFolders;
    for (const auto& url : imageFileURLsLargestFirst(folder)) {
        if (images.size() >= limit) break;
        URL parent = url.deletingLastPathComponent();
        if (servedFolders.contains(parent)) continue;  // checked first: no need to decode it
        auto image = platform::graphics::Image::fromFile(url.fsPath());
        if (!image) continue;  // does not mark its folder, so a smaller file there can serve
        servedFolders.insert(std::move(parent));
        images.push_back(std::move(image));
    }
    return images;
}

platform::graphics::ImagePtr firstImage(const URL& folder) {
    const auto urls = imageFileURLsLargestFirst(folder);
    if (urls.empty()) return nullptr;
    return platform::graphics::Image::fromFile(urls.front().fsPath());
}

}  // namespace gw
