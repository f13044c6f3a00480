#pragma once
// Files and folders: whole-file reads, atomic writes, the XDG folders that stand in for
// the platform's preferences, Application Support and Caches folders, and the
// temporary folder.
#include "platform/foundation/value.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::foundation::files {

// The most readData takes unless told otherwise: far more than any settings file,
// manifest, saved state or Contents.json holds, far less than would exhaust memory.
inline constexpr std::uintmax_t kDefaultReadLimit = 64u * 1024u * 1024u;

// The whole of a regular file (a symbolic link is followed). Error (fileNotFound)
// when nothing is there; Error (fileReadCorrupt) when it is no regular file — a
// folder, a FIFO, a device — or holds more than `maxBytes`, refused at once without
// waiting on a FIFO or reading a device; Error (POSIX domain) when it cannot be read.
Data readData(const std::filesystem::path& path, std::uintmax_t maxBytes = kDefaultReadLimit);
std::string readString(const std::filesystem::path& path, std::uintmax_t maxBytes = kDefaultReadLimit);
// The whole of the regular file open as `fd`, with the same refusals; `shownAs` names it
// in errors.
Data readOpenedFile(int fd, const std::filesystem::path& shownAs, std::uintmax_t maxBytes = kDefaultReadLimit);

// Writes the file through a temporary file in the same folder and a rename, so the
// file is either the old one or the complete new one, never half-written. The folder
// must exist. A file that already exists keeps its permission bits; a new one gets
// `newFileMode`. Error on failure (the temporary file is removed).
void writeAtomically(const std::filesystem::path& path, const Data& data, unsigned newFileMode = 0644);
void writeAtomically(const std::filesystem::path& path, std::string_view text, unsigned newFileMode = 0644);
// The same, for the file `name` in the folder open as `folder` (O_PATH will do): the
// temporary file, the rename and the permission bits all act inside that folder, never
// through a path. `shownAs` names the file in errors.
void writeAtomicallyAt(int folder, const std::string& name, std::string_view text,
                       const std::filesystem::path& shownAs, unsigned newFileMode = 0644);

// How a file being written says, while it stands under a temporary name, that it is in
// flight (see setMark in folder_swap.hpp): the mark's name, and its value given the file
// (open as `fd`).
struct TemporaryMark {
    std::string name;
    std::function<std::string(int fd, const struct stat& file)> value;
};
// The same, for a writer that must tell its temporary files from anything else later:
// the file is made without a name where the file system allows, written, and given its
// own name in one step when nothing stands there. Otherwise it takes a temporary name
// while carrying `mark` (removed once the file has taken its own name). Answers what was
// written, for its identity.
struct stat writeAtomicallyAt(int folder, const std::string& name, std::string_view text,
                              const std::filesystem::path& shownAs, unsigned newFileMode, const TemporaryMark& mark);

// Moves a file that could not be read (damaged settings, a damaged store) out of the way,
// to "<name>.corrupt" or the first free one of "<name>.corrupt-2", "-3" and on: a file
// set aside earlier is never replaced. Returns where it went; empty, with `error` set,
// when it could not be moved (ENOENT when nothing stands at `path` any more). `suffix`
// names what it was set aside as.
std::filesystem::path setAsideDamaged(const std::filesystem::path& path, std::error_code& error,
                                      std::string_view suffix = ".corrupt");

// Creates the folder and its missing parents; an existing folder is fine. Error when
// something else is in the way or creation fails.
void createDirectories(const std::filesystem::path& path);

bool fileExists(const std::filesystem::path& path);
bool directoryExists(const std::filesystem::path& path);

// $XDG_CONFIG_HOME, $XDG_DATA_HOME, $XDG_CACHE_HOME when set to an absolute path,
// else ~/.config, ~/.local/share, ~/.cache.
std::filesystem::path xdgConfigHome();
std::filesystem::path xdgDataHome();
std::filesystem::path xdgCacheHome();

// <config home>/<bundle id>, <data home>/<bundle id>, <cache home>/<bundle id>;
// not created here.
std::filesystem::path preferencesDirectory(std::string_view bundleIdentifier);
std::filesystem::path applicationSupportDirectory(std::string_view bundleIdentifier);
std::filesystem::path cachesDirectory(std::string_view bundleIdentifier);

// $TMPDIR (or /tmp), always ending in "/".
std::string temporaryDirectory();

// The current user's home folder ($HOME, else the password database).
std::filesystem::path homeDirectory();

// Where `path` leads once every symbolic link on the way has been followed, ".." taken
// after the link before it as the file system takes it. Links whose targets do not exist
// are followed all the same, and the part that does not exist is taken as written, so
// the answer is where something created at `path` would end up. A relative path is taken
// from the current folder. Error (POSIX domain, ELOOP) for a chain of more than 40 links.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// Whether `path` is `folder` or lies below it, compared part by part as written (resolve
// both first to compare locations).
bool isAtOrBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

}  // namespace platform::foundation::files
