#include "app/foundation/file_categories.hpp"

#include "app/foundation/file_operations.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/files.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fmt/format.h>
#include <system_error>

namespace gw {

using platform::foundation::URL;
namespace fs = std::filesystem;

std::optional<std::string> fileName(const URL& url) {
    if (url.lastPathComponent().empty()) return std::nullopt;
    std::string name = url.deletingPathExtension().lastPathComponent();
    // A scale suffix ("@2x") at the very end names a resolution, not the picture.
    if (name.size() >= 3) {
        const auto n = name.size();
        if (name[n - 3] == '@' && name[n - 2] >= '0' && name[n - 2] <= '9' && name[n - 1] == 'x') {
            name.erase(n - 3);
        }
    }
    return sanitizedPathComponent(name);
}

URL incrementedFileName(const URL& url) {
    const std::string component = url.lastPathComponent();
    std::string base;
    std::string extension;
    if (auto first = component.find('.'); first == std::string::npos) {
        base = component;
        extension = component;
    } else {
        base = component.substr(0, first);
        extension = component.substr(component.rfind('.') + 1);
    }

    std::size_t digitsStart = base.size();
    while (digitsStart > 0 && base[digitsStart - 1] >= '0' && base[digitsStart - 1] <= '9') --digitsStart;
    std::int64_t number = 0;
    bool hasNumber = false;
    if (digitsStart < base.size()) {
        const char* first = base.data() + digitsStart;
        const char* last = base.data() + base.size();
        auto [ptr, ec] = std::from_chars(first, last, number);
        // A run too long to be a number (or at the very top of the range) counts as none.
        hasNumber = ec == std::errc() && ptr == last && number < INT64_MAX;
    }

    std::string newName;
    if (hasNumber) {
        Logger::log(fmt::format("Current file number: {}", number));
        newName = base.substr(0, digitsStart) + std::to_string(number + 1) + "." + extension;
    } else {
        Logger::log("No file number");
        newName = base + "1" + "." + extension;
    }
    return url.deletingLastPathComponent().appendingPathComponent(newName, url.hasDirectoryPath());
}

URL nextAvailablePath(const URL& url) {
    URL candidate = url;
    std::error_code ec;
    while (fs::exists(fs::symlink_status(candidate.fsPath(), ec))) candidate = incrementedFileName(candidate);
    return candidate;
}

namespace {

std::optional<URL> searchFolder(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        Logger::log(fmt::format("Error finding subfolder {}", ec.message()));
        return std::nullopt;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            Logger::log(fmt::format("Error finding subfolder {}", ec.message()));
            break;
        }
        entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& entry : entries) {
        std::error_code statusError;
        // The item itself: a link to a folder is not a folder (and is not followed).
        auto status = entry.symlink_status(statusError);
        if (statusError || !fs::is_directory(status)) continue;
        if (entry.path().filename() == name) return URL::fileURL(entry.path(), true);
        if (auto found = searchFolder(entry.path(), name)) return found;
    }
    return std::nullopt;
}

}  // namespace

std::optional<URL> subfolderWithName(const std::string& name, const URL& directory) {
    return searchFolder(directory.fsPath(), name);
}

std::optional<std::string> findOrCreateDirectory(SearchPathDirectory directory, SearchPathDomainMask domain,
                                                 const std::optional<std::string>& appendComponent,
                                                 std::string* error) {
    std::optional<fs::path> base;
    if (domain == SearchPathDomainMask::userDomainMask) {
        if (directory == SearchPathDirectory::applicationSupportDirectory) {
            base = platform::foundation::files::xdgDataHome();
        } else if (directory == SearchPathDirectory::cachesDirectory) {
            base = platform::foundation::files::xdgCacheHome();
        }
    }
    if (!base) {
        if (error) {
            *error = fmt::format(
                "Error Domain=DirectoryLocationDomain Code=0 \"No path found for directory in domain.\" "
                "UserInfo={{NSSearchPathDirectory={}, NSSearchPathDomainMask={}}}",
                static_cast<std::uint64_t>(directory), static_cast<std::uint64_t>(domain));
        }
        return std::nullopt;
    }
    fs::path path = *base;
    if (appendComponent) path /= sanitizedPathComponent(*appendComponent);
    try {
        platform::foundation::files::createDirectories(path);
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
    if (error) error->clear();
    return path.string();
}

std::optional<std::string> applicationSupportDirectory() {
    auto executable = platform::foundation::Bundle::main().objectForInfoDictionaryKey("CFBundleExecutable");
    std::optional<std::string> component;
    if (const auto* text = executable.asString()) component = *text;
    std::string error;
    auto path = findOrCreateDirectory(SearchPathDirectory::applicationSupportDirectory,
                                      SearchPathDomainMask::userDomainMask, component, &error);
    if (!path) Logger::log(fmt::format("Unable to find or create application support directory:\n{}", error));
    return path;
}

}  // namespace gw
