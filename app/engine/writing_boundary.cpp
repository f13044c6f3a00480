#include "app/engine/writing_boundary.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/test_hook.hpp"
#include "platform/foundation/trash.hpp"

#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <random>
#include <utility>

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

WritingBoundaryPtr WritingBoundary::forRun() const {
    std::shared_ptr<WritingBoundary> run(new WritingBoundary());
    run->handle_ = handle_;
    run->lockWaitNotice_ = lockWaitNotice_;
    return run;
}

void WritingBoundary::record(const files::RootHandle::Entry& item) const {
    struct stat info {};
    if (::fstatat(item.folder.get(), item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) run_->made.made(info);
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
                    items.push_back({name, gw::kindOf(info.st_mode), info.st_uid});
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
        if (::mkdirat(item.folder.get(), item.name.c_str(), 0777) == 0) {
            record(item);
        } else if (errno != EEXIST) {
            throw failure(errno);
        }
        // Made by another run meanwhile, or something else is in the way.
        if (!leadsToFolder(location)) throw failure(ENOTDIR);
    });
}

void WritingBoundary::writeFile(const fs::path& file, std::string_view bytes) const {
    stepBegins(file);
    bounded([&] {
        const auto item = entry(file);
        const files::TemporaryMark mark{std::string(kInFlightMarkName), [&](int fd, const struct stat& written) {
                                            return markOfThisRun(InFlightKind::temporary, fd, written, item.name).text();
                                        }};
        // What stands there goes, and its identity may come back on anything made after it:
        // it is forgotten while it still holds it, so that nothing made meanwhile (another
        // picture's staging folder, say) loses its own record and seems the user's. Two writes
        // of one file (the catalog's list, which each picture of a batch writes) take turns, so
        // that what one looked at is what it replaces.
        std::lock_guard turn(run_->writeTurns[std::hash<std::string>{}(folderPath(file).string()) % Run::kWriteTurns]);
        struct stat replaced {};
        const bool replacing = ::fstatat(item.folder.get(), item.name.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0;
        const bool wasMade = replacing && run_->made.isMade(replaced);
        if (wasMade) run_->made.forget(replaced);
        try {
            run_->made.made(files::writeAtomicallyAt(item.folder.get(), item.name, bytes, file, 0644, mark));
        } catch (...) {
            struct stat still {};
            if (wasMade && ::fstatat(item.folder.get(), item.name.c_str(), &still, AT_SYMLINK_NOFOLLOW) == 0 &&
                files::ItemIdentity::of(still) == files::ItemIdentity::of(replaced)) {
                run_->made.made(replaced);
            }
            throw;
        }
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

namespace {

// A staging folder about to be made, announced in its folder (see files::announce) before
// it is made, so that a kill before it carries its own mark leaves nothing that cannot be
// told from the user's; withdrawn once it is marked, or its making failed.
class StagingAnnouncement {
public:
    StagingAnnouncement(int folder, const std::string& staging, const std::string& place) : folder_(folder) {
        static std::atomic<unsigned> count{0};
        key_ = fmt::format("{}-{}", ::getpid(), count.fetch_add(1));
        if (staging.find('\n') != std::string::npos) return;
        const InFlightMark mark{RunIdentity::current(), InFlightKind::writing, {}, place};
        try {
            announced_ = files::announce(folder_, kInFlightMarkName, key_, staging + "\n" + mark.text());
        } catch (const pf::Error& failure) {
            Logger::log("Unable to announce " + staging + ": " + failure.what());
        }
    }
    ~StagingAnnouncement() { withdraw(); }
    StagingAnnouncement(const StagingAnnouncement&) = delete;
    StagingAnnouncement& operator=(const StagingAnnouncement&) = delete;
    void withdraw() {
        if (announced_) files::withdraw(folder_, kInFlightMarkName, key_);
        announced_ = false;
    }

private:
    int folder_;
    std::string key_;
    bool announced_ = false;
};

}  // namespace

std::vector<fs::path> WritingBoundary::stage(const fs::path& place, const fs::path& staging) const {
    stepBegins(staging);
    return bounded([&] {
        const auto name = folderPath(place).filename().string();
        const auto target = entry(staging);
        files::UniqueFd parent(::openat(target.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent) throw pf::Error::posix(errno, "Cannot stage " + place.string());
        StagingAnnouncement announcement(parent.get(), target.name, name);
        const auto source = entryOnExistingPath(place);
        // Where the mark is kept in a file, its name is one the copy does not bring along.
        files::UniqueFd copied;
        if (source) {
            copied = files::UniqueFd(::openat(source->folder.get(), source->name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        const auto markMade = [&](int folder) {
            struct stat made {};
            if (::fstat(folder, &made) != 0) throw pf::Error::posix(errno, "Cannot stage " + place.string());
            // Unmarked, it could not be told from the user's own should the run be killed:
            // the folder fails instead, before anything of the user's is moved.
            try {
                files::setMark(folder, true, kInFlightMarkName,
                               markOfThisRun(InFlightKind::writing, folder, made, name).text(), &run_->made,
                               copied ? copied.get() : -1);
            } catch (const pf::Error& failure) {
                throw pf::Error(std::string(pf::kPosixErrorDomain),
                                failure.domain() == pf::kPosixErrorDomain ? static_cast<int>(failure.code()) : EIO,
                                "Cannot write into " + place.string() + ": what is written cannot be marked as this run's: " +
                                    failure.what());
            }
            announcement.withdraw();
        };
        struct stat standing {};
        if (!source || ::fstatat(source->folder.get(), source->name.c_str(), &standing, AT_SYMLINK_NOFOLLOW) != 0) {
            if (::mkdirat(target.folder.get(), target.name.c_str(), 0777) != 0) {
                throw pf::Error::posix(errno, "Cannot create folder " + staging.string());
            }
            record(target);
            files::UniqueFd made(::openat(target.folder.get(), target.name.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!made) throw pf::Error::posix(errno, "Cannot create folder " + staging.string());
            markMade(made.get());
            return std::vector<fs::path>{};
        }
        files::TreeCopy copy;
        copy.made = &run_->made;
        copy.madeFolder = markMade;
        // What this run set aside inside stays where the run will look for it. A mark file
        // in the folder (copied in by the user, or a file of theirs of that name) is content
        // like any other: the staging's own mark took a name it does not stand at.
        copy.skip = [&](const std::string&, const struct stat& item) { return isSetAside(item); };
        files::copyTree(*source, target, place, copy);
        return copy.skipped;
    });
}

void WritingBoundary::setAside(const fs::path& path, const fs::path& aside) const {
    const bool marked = mark(path, InFlightKind::replaced);
    struct stat item {};
    try {
        bounded([&] {
            const auto found = entry(path);
            if (::fstatat(found.folder.get(), found.name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0) {
                throw pf::Error::posix(errno, "Cannot look at " + path.string());
            }
        });
        // Set aside unmarked, it would stay hidden for good should the run be killed: a
        // file on a file system without extended attributes is not moved.
        if (!marked && (S_ISDIR(item.st_mode) || S_ISREG(item.st_mode))) {
            throw pf::Error::posix(ENOTSUP, "Cannot set " + path.string() +
                                                " aside: it cannot be marked as this run's on its file system");
        }
        renameIfFree(path, aside);
    } catch (...) {
        if (marked) unmark(path);
        throw;
    }
    std::lock_guard lock(run_->mutex);
    run_->setAside.insert(files::ItemIdentity::of(item));
}

void WritingBoundary::putBack(const fs::path& aside, const fs::path& path) const {
    renameIfFree(aside, path);
    unmark(path);
}

bool WritingBoundary::isSetAside(const struct stat& item) const {
    std::lock_guard lock(run_->mutex);
    return run_->setAside.count(files::ItemIdentity::of(item)) != 0;
}

namespace {

// The item at the entry, opened to read or set its mark; none for what carries no mark of
// ours (a link, a FIFO, a device) or is gone.
files::UniqueFd openForMark(const files::RootHandle::Entry& item, struct stat& info) {
    if (::fstatat(item.folder.get(), item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return {};
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) return {};
    files::UniqueFd fd(::openat(item.folder.get(), item.name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                    (S_ISDIR(info.st_mode) ? O_DIRECTORY : 0)));
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0 || files::ItemIdentity::of(opened) != files::ItemIdentity::of(info)) return {};
    return fd;
}

}  // namespace

bool WritingBoundary::mark(const fs::path& path, InFlightKind kind, const std::string& original) const {
    return bounded([&] {
        const auto item = entry(path);
        struct stat info {};
        const auto fd = openForMark(item, info);
        if (!fd) return false;
        const auto text = markOfThisRun(kind, fd.get(), info, original.empty() ? item.name : original).text();
        try {
            return files::setMark(fd.get(), S_ISDIR(info.st_mode), kInFlightMarkName, text, &run_->made);
        } catch (const pf::Error& failure) {
            // Unmarked, it could not be told from the user's own should the run be killed:
            // it is not moved.
            throw pf::Error(std::string(pf::kPosixErrorDomain),
                            failure.domain() == pf::kPosixErrorDomain ? static_cast<int>(failure.code()) : EIO,
                            path.string() + " cannot be marked as this run's: " + failure.what());
        }
    });
}

namespace {

// The marks of ours the item open as `fd` carries for itself (a mark copied onto another
// item says nothing of this one), and all it keeps at the mark's places.
struct MarksOn {
    std::vector<std::string> kept;
    std::vector<std::pair<std::string, InFlightMark>> own;
};

// Whether the mark is the one the item `name` (open as `fd`) was given for itself (see
// files::recognise). A folder whose numbers were given afresh since, with nothing else left
// to tell it (a remount of exFAT, or a disk without moments of birth attached again under
// another device number), is known by the name the run gave it (or the name it stands in
// for, which only ever takes the mark off).
bool isMarkOf(const InFlightMark& mark, int fd, const struct stat& info, std::string_view name) {
    switch (files::recognise(mark.identity(), fd, info)) {
    case files::Recognition::same: return true;
    case files::Recognition::other: return false;
    case files::Recognition::unknown: break;
    }
    return S_ISDIR(info.st_mode) && (name == mark.original || isNameGivenFor(name, mark));
}

MarksOn marksOn(int fd, const struct stat& info, std::string_view name) {
    MarksOn found;
    found.kept = files::readMarks(fd, S_ISDIR(info.st_mode), kInFlightMarkName);
    for (const auto& text : found.kept) {
        auto mark = InFlightMark::parse(text);
        if (mark && isMarkOf(*mark, fd, info, name)) found.own.emplace_back(text, std::move(*mark));
    }
    return found;
}

}  // namespace

std::optional<InFlightMark> WritingBoundary::markOn(const fs::path& path, std::string* text) const {
    return bounded([&]() -> std::optional<InFlightMark> {
        const auto item = entryOnExistingPath(path);
        if (!item) return std::nullopt;
        struct stat info {};
        const auto fd = openForMark(*item, info);
        if (!fd) return std::nullopt;
        auto found = marksOn(fd.get(), info, item->name);
        if (text != nullptr) {
            // What the caller is told was kept: the item's own mark, else what looks most like one.
            const auto like = std::find_if(found.kept.begin(), found.kept.end(),
                                           [](const std::string& kept) { return InFlightMark::looksLikeOne(kept); });
            *text = !found.own.empty() ? found.own.front().first
                    : like != found.kept.end() ? *like
                    : found.kept.empty()       ? std::string()
                                               : found.kept.front();
        }
        if (found.own.empty()) return std::nullopt;
        return std::move(found.own.front().second);
    });
}

std::vector<WritingBoundary::Announcement> WritingBoundary::announcedIn(const fs::path& folder) const {
    return bounded([&] {
        std::vector<Announcement> found;
        const auto fd = handle_->open(folderPath(folder), O_RDONLY | O_DIRECTORY);
        for (const auto& [key, value] : files::announcements(fd.get(), kInFlightMarkName)) {
            const auto end = value.find('\n');
            if (end == std::string::npos) continue;
            auto mark = InFlightMark::parse(std::string_view(value).substr(end + 1));
            const auto name = value.substr(0, end);
            if (mark && isPlainItemName(name)) found.push_back({key, name, std::move(*mark)});
        }
        return found;
    });
}

void WritingBoundary::withdraw(const fs::path& folder, const std::string& key) const {
    bounded([&] { files::withdraw(handle_->open(folderPath(folder), O_RDONLY | O_DIRECTORY).get(), kInFlightMarkName, key); });
}

void WritingBoundary::unmark(const fs::path& path) const {
    stepBegins(path);
    bounded([&] {
        const auto item = entryOnExistingPath(path);
        if (!item) return;
        struct stat info {};
        const auto fd = openForMark(*item, info);
        if (!fd) return;
        // Every mark of ours for the item itself; a mark file copied in for another item
        // is the user's file, and stays.
        for (const auto& [text, mark] : marksOn(fd.get(), info, item->name).own) {
            files::removeMark(fd.get(), S_ISDIR(info.st_mode), kInFlightMarkName, text, &run_->made);
        }
    });
}

WritingBoundary::Pruned WritingBoundary::prune(const fs::path& path, const std::optional<fs::path>& replacedBy) const {
    stepBegins(path);
    return bounded([&] {
        const auto item = entryOnExistingPath(path);
        if (!item) return Pruned::gone;
        auto& made = run_->made;
        const auto mayGo = [&made](const files::PruneEntry& at) {
            const auto& entry = at.item;
            const auto* counterpart = at.counterpart;
            if (made.isMade(entry)) return true;
            if (counterpart == nullptr) return false;
            // Its own file stands on in the item's place.
            if (files::ItemIdentity::of(entry) == files::ItemIdentity::of(*counterpart)) return true;
            if (S_ISDIR(entry.st_mode)) return S_ISDIR(counterpart->st_mode) && made.isMade(*counterpart);
            if (S_ISDIR(counterpart->st_mode)) return false;
            // A copy stands for the file only while it holds what the file holds: a time kept
            // in whole seconds does not show a save of the same size in the same second.
            return made.isWritten(*counterpart) || (made.isCopyOf(*counterpart, entry) && files::holdTheSameBytes(at));
        };
        // Whatever goes is forgotten: its identity may come back on someone else's file.
        const files::MayGo forgetting = [&made, mayGo](const files::PruneEntry& at) {
            if (!mayGo(at)) return false;
            made.forget(at.item);
            return true;
        };
        const auto counterpart = replacedBy ? entryOnExistingPath(*replacedBy) : std::nullopt;
        struct stat itself {};
        struct stat standing {};
        if (counterpart && ::fstatat(item->folder.get(), item->name.c_str(), &itself, AT_SYMLINK_NOFOLLOW) == 0 &&
            ::fstatat(counterpart->folder.get(), counterpart->name.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 &&
            files::ItemIdentity::of(itself) == files::ItemIdentity::of(standing)) {
            Logger::log("Left " + path.string() + " where it is: it cannot make way for itself at " +
                        replacedBy->string());
            return Pruned::refused;
        }
        return files::pruneTree(*item, counterpart ? &*counterpart : nullptr, forgetting, path, kInFlightMarkName)
                   ? Pruned::gone
                   : Pruned::partly;
    });
}

std::vector<ReplacedItem> WritingBoundary::dispose(const fs::path& path, const std::optional<fs::path>& replacedBy,
                                                   const std::optional<fs::path>& keptFor, bool left) const {
    if (prune(path, replacedBy) != Pruned::partly) return {};
    auto kept = keepReplaced(pf::URL::fileURL(keptFor.value_or(path), kindOf(path) == Kind::folder), path, *this);
    kept.left = left;
    return {std::move(kept)};
}

bool WritingBoundary::removeIfMade(const fs::path& path) const { return prune(path, std::nullopt) == Pruned::gone; }

void WritingBoundary::refuse(const fs::path& folder, std::exception_ptr why) const {
    std::lock_guard lock(run_->mutex);
    run_->refused.emplace(folderPath(folder), std::move(why));
}

void WritingBoundary::checkNotRefused(const fs::path& folder) const {
    std::exception_ptr why;
    {
        std::lock_guard lock(run_->mutex);
        const auto found = run_->refused.find(folderPath(folder));
        if (found == run_->refused.end()) return;
        why = found->second;
    }
    std::rethrow_exception(why);
}

bool WritingBoundary::removeEmptyFolder(const fs::path& path, const std::vector<std::string>& emptyFiles) const {
    stepBegins(path);
    return bounded([&] {
        const auto item = entryOnExistingPath(path);
        if (!item) return false;
        files::UniqueFd inside(
            ::openat(item->folder.get(), item->name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!inside) return false;
        for (const auto& name : emptyFiles) {
            struct stat file {};
            if (::fstatat(inside.get(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (!S_ISREG(file.st_mode) || file.st_size != 0) return false;
            ::unlinkat(inside.get(), name.c_str(), 0);
        }
        // Anything put in it meanwhile keeps it.
        return ::unlinkat(item->folder.get(), item->name.c_str(), AT_REMOVEDIR) == 0;
    });
}

void WritingBoundary::report(std::vector<ReplacedItem> kept) const {
    std::lock_guard lock(run_->mutex);
    for (auto& item : kept) run_->reported.push_back(std::move(item));
}

std::vector<ReplacedItem> WritingBoundary::takeReported() const {
    std::lock_guard lock(run_->mutex);
    return std::exchange(run_->reported, {});
}

std::unique_ptr<files::FolderLock> WritingBoundary::lock(const fs::path& folder) const {
    return bounded([&] {
        files::FolderLock::WaitNotice waiting;
        if (lockWaitNotice_) {
            waiting = [&](const files::LockHolder& holder) { lockWaitNotice_(folder, holder); };
        }
        return std::make_unique<files::FolderLock>(handle_->open(folderPath(folder), O_RDONLY | O_DIRECTORY), folder,
                                                   waiting);
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
