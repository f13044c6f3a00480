#include "app/foundation/picture_file.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/security/crypto.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>

#include <fmt/format.h>

namespace gw {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using platform::graphics::PictureProblem;

namespace {

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec changed {};
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

Identity identityOf(const struct stat& info) { return {info.st_dev, info.st_ino, info.st_size, info.st_mtim}; }

// What a file the platform could not open says of the picture.
PictureProblem problemOf(const platform::foundation::Error& failure) {
    return failure.domain() == platform::foundation::kPosixErrorDomain
               ? platform::graphics::problemOfOpening(failure.code())
               : PictureProblem::unreadable;
}

bool isPosix(const platform::foundation::Error& error, std::initializer_list<int> codes) {
    if (error.domain() != platform::foundation::kPosixErrorDomain) return false;
    for (const int code : codes) {
        if (error.code() == code) return true;
    }
    return false;
}

// The file opened for reading beneath the root, once it is known to be a regular file
// of at most `maxBytes`: opening a device or a FIFO can already do something.
files::UniqueFd openRegular(const fs::path& path, const files::RootHandle& root, std::uintmax_t maxBytes,
                            Identity& identity, std::string* detail, PictureProblem* problem) {
    struct stat info {};
    try {
        const auto looked = root.open(path, O_PATH);
        if (::fstat(looked.get(), &info) != 0) throw platform::foundation::Error::posix(errno, "Cannot read " + path.string());
    } catch (const files::OutsideRootError&) {
        throw;
    } catch (const platform::foundation::Error& failure) {
        if (isPosix(failure, {ENOENT, ENOTDIR})) {
            platform::graphics::noteProblem(detail, problem, PictureProblem::missing, fmt::format("no file at {}", path.string()));
        } else {
            platform::graphics::noteProblem(detail, problem, problemOf(failure), failure.what());
        }
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        platform::graphics::noteProblem(detail, problem, PictureProblem::unreadable, fmt::format("{} is not a regular file", path.string()));
        return {};
    }
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
        platform::graphics::noteProblem(detail, problem, PictureProblem::fileTooLarge,
                                        fmt::format("it holds {} bytes, more than the limit of {} MiB for a picture "
                                                    "of its kind",
                                                    info.st_size, maxBytes >> 20));
        return {};
    }
    files::UniqueFd fd;
    struct stat opened {};
    try {
        fd = root.open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (::fstat(fd.get(), &opened) != 0) throw platform::foundation::Error::posix(errno, "Cannot read " + path.string());
    } catch (const files::OutsideRootError&) {
        throw;
    } catch (const platform::foundation::Error& failure) {
        platform::graphics::noteProblem(detail, problem, problemOf(failure), failure.what());
        return {};
    }
    // Something else put in its place between the two looks is not read.
    if (opened.st_dev != info.st_dev || opened.st_ino != info.st_ino) {
        platform::graphics::noteProblem(detail, problem, PictureProblem::unreadable,
                                        fmt::format("{} changed while it was read", path.string()));
        return {};
    }
    identity = identityOf(opened);
    return fd;
}

}  // namespace

std::vector<std::uint8_t> FileHead::first(std::size_t count) const {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(count, size_)));
    std::size_t had = 0;
    while (had < bytes.size()) {
        const ssize_t got = ::pread(fd_, bytes.data() + had, bytes.size() - had, static_cast<off_t>(had));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        had += static_cast<std::size_t>(got);
    }
    bytes.resize(had);
    return bytes;
}

std::optional<PictureFile> readPictureFile(const fs::path& path, const files::RootHandlePtr& given,
                                           std::uintmax_t maxBytes, std::string* detail, PictureProblem* problem,
                                           const BeforeReading& beforeReading) {
    const files::RootHandlePtr root = given ? given : files::RootHandle::everything();
    Identity identity;
    const auto fd = openRegular(path, *root, maxBytes, identity, detail, problem);
    if (!fd) return std::nullopt;
    if (beforeReading) beforeReading(FileHead(fd.get(), static_cast<std::uint64_t>(identity.size)));
    PictureFile file;
    try {
        file.bytes = files::readOpenedFile(fd.get(), path, maxBytes);
    } catch (const platform::foundation::Error& failure) {
        platform::graphics::noteProblem(detail, problem, PictureProblem::unreadable,
                                        fmt::format("cannot read {}: {}", path.string(), failure.what()));
        return std::nullopt;
    }
    // A file touched, or copied back, since holds the same bytes under another time or
    // inode: its digest tells them from changed ones.
    const auto digest = std::make_shared<const platform::foundation::Data>(platform::security::sha256(
        std::string_view(reinterpret_cast<const char*>(file.bytes.data()), file.bytes.size())));
    file.reread = [root, path, identity, maxBytes, digest]() -> std::optional<std::vector<std::uint8_t>> {
        try {
            Identity now;
            std::string why;
            PictureProblem kind = PictureProblem::none;
            const auto again = openRegular(path, *root, maxBytes, now, &why, &kind);
            // The drawing that wanted the pixels fails for want of a descriptor, not as a
            // picture that could not be drawn.
            if (kind == PictureProblem::tooManyOpenFiles) platform::graphics::DrawingProblems::report(kind, why);
            if (!again || now.size != identity.size) return std::nullopt;
            auto bytes = files::readOpenedFile(again.get(), path, maxBytes);
            // Changed while it was read: not the bytes the picture was read from.
            if (static_cast<off_t>(bytes.size()) != identity.size) return std::nullopt;
            if (!(now == identity) &&
                platform::security::sha256(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) !=
                    *digest) {
                return std::nullopt;
            }
            return bytes;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    return file;
}

}  // namespace gw
