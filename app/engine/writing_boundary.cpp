#include "app/engine/writing_boundary.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/test_hook.hpp"
#include "platform/foundation/trash.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace gw {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace files = platform::foundation::files;

namespace {

fs::path folderPath(const fs::path& path) {
    const auto normal = path.lexically_normal();
    return normal.has_filename() ? normal : normal.parent_path();
}

bool isPosix(const pf::Error& error, int code) { return error.domain() == pf::kPosixErrorDomain && error.code() == code; }

// Each writing step begins here, after every check (see setStepHookForTesting).
pf::TestHook<const fs::path&> stepBegins;

WritingBoundary::Kind kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return WritingBoundary::Kind::folder;
    if (S_ISLNK(mode)) return WritingBoundary::Kind::link;
    if (S_ISREG(mode)) return WritingBoundary::Kind::file;
    return WritingBoundary::Kind::other;
}

}  // namespace

OutsideWritingBoundaryError::OutsideWritingBoundaryError(const fs::path& location, const fs::path& leadsTo,
                                                         const fs::path& root)
    : std::runtime_error(LocalizedString::text("writing.outside-root", location.string(), leadsTo.string()) + " " +
                         LocalizedString::text("writing.outside-root.root", root.string())) {}

WritingBoundary::WritingBoundary(const fs::path& root) : handle_(std::make_shared<const files::RootHandle>(root)) {}

WritingBoundary::WritingBoundary(files::RootHandlePtr root) : handle_(std::move(root)) {
    if (!handle_) throw std::invalid_argument("A writing boundary needs a root");
}

const WritingBoundaryPtr& WritingBoundary::everything() {
    static const WritingBoundaryPtr boundary = [] {
        std::shared_ptr<WritingBoundary> made(new WritingBoundary());
        made->handle_ = files::RootHandle::everything();
        return WritingBoundaryPtr(std::move(made));
    }();
    return boundary;
}

template <typename Step>
auto WritingBoundary::bounded(Step&& step) const -> decltype(step()) {
    try {
        return step();
    } catch (const files::OutsideRootError& outside) {
        throw OutsideWritingBoundaryError(outside.location(), outside.leadsTo(), root());
    }
}

bool WritingBoundary::contains(const fs::path& folder) const {
    try {
        return handle_->contains(folder);
    } catch (const pf::Error& failure) {
        // Without a descriptor to look, nothing is known of where it leads.
        if (pf::isOutOfFileDescriptors(failure)) throw;
        return false;  // a chain of links too long to follow leads nowhere we can vouch for
    }
}

void WritingBoundary::checkFolder(const fs::path& folder) const {
    const auto location = folderPath(folder);
    try {
        handle_->check(location);
    } catch (const files::OutsideRootError& outside) {
        throw OutsideWritingBoundaryError(location, outside.leadsTo(), root());
    } catch (const pf::Error& failure) {
        if (pf::isOutOfFileDescriptors(failure)) throw;
        // A chain of links too long to follow leads nowhere we can vouch for.
        throw OutsideWritingBoundaryError(location, location, root());
    }
}

void WritingBoundary::checkFile(const fs::path& file) const { checkFolder(folderPath(file).parent_path()); }

void WritingBoundary::checkPlan(const FolderDefinition& folder) const {
    checkFolder(folder.outputDirectory.fsPath());
    for (const auto& image : folder.imageDefinitions) checkFile(image.outputDirectory.fsPath());
    for (const auto& subfolder : folder.subfolderDefinitions) checkPlan(subfolder);
}

files::RootHandle::Entry WritingBoundary::entry(const fs::path& path) const { return handle_->entry(folderPath(path)); }

std::optional<files::RootHandle::Entry> WritingBoundary::entryOnExistingPath(const fs::path& path) const {
    try {
        return entry(path);
    } catch (const files::OutsideRootError&) {
        throw;
    } catch (const pf::Error& failure) {
        if (isPosix(failure, ENOENT) || isPosix(failure, ENOTDIR)) return std::nullopt;
        throw;
    }
}

WritingBoundary::Kind WritingBoundary::kindOf(const fs::path& path) const {
    if (handle_->isRoot(folderPath(path))) return Kind::folder;
    return bounded([&] {
        const auto item = entryOnExistingPath(path);
        if (!item) return Kind::missing;
        struct stat info {};
        if (::fstatat(item->folder.get(), item->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return Kind::missing;
            throw pf::Error::posix(errno, "Cannot look at " + path.string());
        }
        return gw::kindOf(info.st_mode);
    });
}

bool WritingBoundary::leadsToFolder(const fs::path& path) const {
    return bounded([&] {
        try {
            handle_->open(folderPath(path), O_PATH | O_DIRECTORY);
            return true;
        } catch (const files::OutsideRootError&) {
            throw;
        } catch (const pf::Error& failure) {
            if (pf::isOutOfFileDescriptors(failure)) throw;
            return false;
        }
    });
}

std::vector<WritingBoundary::Item> WritingBoundary::list(const fs::path& folder) const {
    return bounded([&] {
        const auto what = "Unable to list the folder " + folder.string();
        auto fd = handle_->open(folderPath(folder), O_RDONLY | O_DIRECTORY);
        DIR* dir = ::fdopendir(fd.get());
        if (dir == nullptr) throw pf::Error::posix(errno, what);
        const int listed = fd.release();
        std::vector<Item> items;
        errno = 0;
        while (const dirent* found = ::readdir(dir)) {
            const std::string name = found->d_name;
            if (name != "." && name != "..") {
                struct stat info {};
                if (::fstatat(listed, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                    items.push_back({name, gw::kindOf(info.st_mode)});
                }
            }
            errno = 0;
        }
        const int err = errno;
        ::closedir(dir);
        if (err != 0) throw pf::Error::posix(err, what);
        return items;
    });
}

void WritingBoundary::createFolders(const fs::path& folder) const {
    bounded([&] {
        const auto location = folderPath(folder);
        const auto failure = [&](int err) { return pf::Error::posix(err, "Cannot create folder " + location.string()); };
        try {
            handle_->open(location, O_PATH | O_DIRECTORY);
            return;
        } catch (const files::OutsideRootError&) {
            throw;
        } catch (const pf::Error& error) {
            if (isPosix(error, ENOTDIR)) throw failure(ENOTDIR);
            if (!isPosix(error, ENOENT)) throw;
        }
        if (location.parent_path() == location) throw failure(ENOENT);
        createFolders(location.parent_path());
        stepBegins(location);
        const auto item = entry(location);
        if (::mkdirat(item.folder.get(), item.name.c_str(), 0777) != 0 && errno != EEXIST) throw failure(errno);
        // Made by another run meanwhile, or something else is in the way.
        if (!leadsToFolder(location)) throw failure(ENOTDIR);
    });
}

void WritingBoundary::writeFile(const fs::path& file, std::string_view bytes) const {
    stepBegins(file);
    bounded([&] {
        const auto item = entry(file);
        files::writeAtomicallyAt(item.folder.get(), item.name, bytes, file);
    });
}

bool WritingBoundary::canCreateFileBeside(const fs::path& file) const {
    try {
        const auto item = entry(file);
        const std::string probe = "." + item.name + ".probe-" + std::to_string(std::random_device{}());
        const int fd = ::openat(item.folder.get(), probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && pf::isOutOfFileDescriptors(errno)) throw pf::Error::posix(errno, "Cannot create " + probe);
        if (fd < 0) return false;
        ::close(fd);
        ::unlinkat(item.folder.get(), probe.c_str(), 0);
        return true;
    } catch (const pf::Error& failure) {
        // Without a descriptor to try, nothing is known of the folder.
        if (pf::isOutOfFileDescriptors(failure)) throw;
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

void WritingBoundary::rename(const fs::path& from, const fs::path& to) const {
    stepBegins(to);
    bounded([&] {
        const auto source = entry(from);
        const auto target = entry(to);
        if (::renameat(source.folder.get(), source.name.c_str(), target.folder.get(), target.name.c_str()) != 0) {
            throw pf::Error::posix(errno, "Cannot move " + from.string() + " to " + to.string());
        }
    });
}

void WritingBoundary::renameIfFree(const fs::path& from, const fs::path& to) const {
    stepBegins(to);
    bounded([&] {
        const auto source = entry(from);
        const auto target = entry(to);
        if (files::renameIfFree(source.folder.get(), source.name.c_str(), target.folder.get(), target.name.c_str()) != 0) {
            throw pf::Error::posix(errno, "Cannot move " + from.string() + " to " + to.string());
        }
    });
}

bool WritingBoundary::exchangeOrMove(const fs::path& from, const fs::path& to, const fs::path& aside) const {
    stepBegins(to);
    return bounded([&] {
        return files::exchangeOrMove(entry(from), entry(to), entry(aside), from.string() + " to " + to.string());
    });
}

void WritingBoundary::removeTree(const fs::path& path) const {
    stepBegins(path);
    bounded([&] {
        const auto item = entryOnExistingPath(path);
        if (!item) return;  // nothing there
        files::removeTree(*item, path);
    });
}

void WritingBoundary::remove(const fs::path& path) const {
    stepBegins(path);
    bounded([&] {
        const auto item = entry(path);
        if (::unlinkat(item.folder.get(), item.name.c_str(), 0) == 0) return;
        if ((errno == EISDIR || errno == EPERM) && ::unlinkat(item.folder.get(), item.name.c_str(), AT_REMOVEDIR) == 0) {
            return;
        }
        throw pf::Error::posix(errno, "Cannot remove " + path.string());
    });
}

void WritingBoundary::copyTree(const fs::path& from, const fs::path& to,
                               const std::function<bool(const std::string&)>& skip) const {
    stepBegins(to);
    bounded([&] { files::copyTree(entry(from), entry(to), from, skip); });
}

std::unique_ptr<files::FolderLock> WritingBoundary::lock(const fs::path& folder) const {
    return bounded([&] {
        return std::make_unique<files::FolderLock>(handle_->open(folderPath(folder), O_RDONLY | O_DIRECTORY), folder);
    });
}

fs::path WritingBoundary::moveToTrash(const fs::path& path) const {
    stepBegins(path);
    return bounded([&] { return files::moveToTrash(entry(path), folderPath(path)); });
}

void WritingBoundary::setStepHookForTesting(std::function<void(const fs::path&)> hook) {
    stepBegins.set(std::move(hook));
}

}  // namespace gw
