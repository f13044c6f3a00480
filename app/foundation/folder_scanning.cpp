#include "app/foundation/folder_scanning.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/picture_file.hpp"
#include "platform/foundation/error.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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
    bool contains(const struct stat& info) const {
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

namespace {

// One folder of a scan, walked through the folder it was opened as: its subfolders are
// opened from it, never followed through a link and never looked up again by a path.
class Scan {
public:
    Scan(const std::vector<URL>& excludedFolders, const ReadingRefusal& refusal) : refusal_(refusal) {
        for (const auto& url : excludedFolders) excluded_.add(url.fsPath());
    }

    void folder(int fd, const fs::path& path, int depth) {
        // Deeper than any artwork is kept; a loop of bind mounts must still end.
        if (depth > 256) return;
        for (const auto& name : namesIn(fd, path)) entry(fd, path, name, depth);
    }

    // A folder whose pictures go missing for want of a descriptor is said, so that a low
    // limit of open files never passes for a folder without pictures. (One that cannot be
    // read for another reason gives no files, as it always has.)
    static void reportIfOutOfDescriptors(int error, const fs::path& folder) {
        if (!platform::foundation::isOutOfFileDescriptors(error)) return;
        reportSkippedPicture(URL::fileURL(folder, true),
                             LocalizedString::text("folder-scan.warning.folder-not-opened", folder.string(),
                                                   std::strerror(error)));
    }

    std::set<URL> found;

private:
    static std::vector<std::string> namesIn(int fd, const fs::path& path) {
        std::vector<std::string> names;
        platform::foundation::files::UniqueFd listing(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!listing) {
            reportIfOutOfDescriptors(errno, path);
            return names;
        }
        DIR* dir = ::fdopendir(listing.get());
        if (dir == nullptr) return names;
        listing.release();
        ::rewinddir(dir);
        while (const dirent* found = ::readdir(dir)) {
            const std::string name = found->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        return names;
    }

    void entry(int fd, const fs::path& folder, const std::string& name, int depth) {
        if (name.front() == '.') return;  // hidden files and folders
        struct stat own {};
        if (::fstatat(fd, name.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0) return;
        const fs::path path = folder / name;
        const bool isLink = S_ISLNK(own.st_mode);
        struct stat target {};
        const bool leadsSomewhere = !isLink || ::fstatat(fd, name.c_str(), &target, 0) == 0;
        const bool isDirectory = isLink ? leadsSomewhere && S_ISDIR(target.st_mode) : S_ISDIR(own.st_mode);
        if (isDirectory && !isLink && (isAssetCatalogName(path) || excluded_.contains(own))) return;
        URL url = URL::fileURL(path, isDirectory);
        auto refused = [&] {
            const auto why = refusal_ ? refusal_(path) : std::nullopt;
            if (why) reportSkippedPicture(url, *why);
            return why.has_value();
        };
        // Never entered; but where it leads out of bounds, the user hears why its
        // pictures are missing.
        if (isDirectory && isLink && refused()) return;
        // A folder named like a picture ("art.png") is no picture: its own pictures are
        // found inside it, and a linked one is not entered.
        if (!isDirectory && isSupportedImageFileExtension(url.pathExtension())) {
            if (!leadsSomewhere) {
                // One broken link must not cost the folder its other pictures.
                reportSkippedPicture(url, LocalizedString::text("folder-scan.warning.dangling-link", path.string()));
            } else if (!refused()) {
                found.insert(url);
            }
        }
        // Symbolic links to folders are not entered, so a link back up the tree cannot
        // make the walk endless.
        if (isDirectory && !isLink) {
            platform::foundation::files::UniqueFd child(
                ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child) {
                this->folder(child.get(), path, depth + 1);
            } else {
                reportIfOutOfDescriptors(errno, path);
            }
        }
    }

    FolderSet excluded_;
    const ReadingRefusal& refusal_;
};

}  // namespace

std::set<URL> imageFileURLs(const URL& folder, const std::vector<URL>& excludedFolders, const ReadingRefusal& refusal,
                            const platform::foundation::files::RootHandle* root) {
    if (root == nullptr) root = platform::foundation::files::RootHandle::everything().get();
    Scan scan(excludedFolders, refusal);
    try {
        const auto fd = root->open(folder.fsPath(), O_RDONLY | O_DIRECTORY);
        scan.folder(fd.get(), folder.fsPath(), 0);
    } catch (const platform::foundation::Error& failure) {
        // A folder that cannot be read, or that leads outside the root, gives no files.
        if (failure.domain() == platform::foundation::kPosixErrorDomain) {
            Scan::reportIfOutOfDescriptors(failure.code(), folder.fsPath());
        }
    }
    return std::move(scan.found);
}

std::vector<URL> imageFileURLsInNameOrder(const URL& folder, const std::vector<URL>& excludedFolders,
                                          const ReadingRefusal& refusal,
                                          const platform::foundation::files::RootHandle* root) {
    const auto found = imageFileURLs(folder, excludedFolders, refusal, root);
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

namespace {

// Read as every picture file is, once, and decoded from those bytes.
platform::graphics::ImagePtr pictureFromFile(const URL& url) {
    try {
        const auto file = readPictureFile(url.fsPath(), nullptr, platform::graphics::Image::kMaxFileBytes, nullptr, nullptr);
        return file ? platform::graphics::Image::fromData(file->bytes) : nullptr;
    } catch (const platform::foundation::Error&) {
        return nullptr;
    }
}

}  // namespace

std::vector<platform::graphics::ImagePtr> imagesInFolder(const URL& folder, std::size_t limit) {
    std::vector<platform::graphics::ImagePtr> images;
    std::set<URL> servedFolders;
    for (const auto& url : imageFileURLsLargestFirst(folder)) {
        if (images.size() >= limit) break;
        URL parent = url.deletingLastPathComponent();
        if (servedFolders.contains(parent)) continue;  // checked first: no need to decode it
        auto image = pictureFromFile(url);
        if (!image) continue;  // does not mark its folder, so a smaller file there can serve
        servedFolders.insert(std::move(parent));
        images.push_back(std::move(image));
    }
    return images;
}

platform::graphics::ImagePtr firstImage(const URL& folder) {
    const auto urls = imageFileURLsLargestFirst(folder);
    if (urls.empty()) return nullptr;
    return pictureFromFile(urls.front());
}

}  // namespace gw
