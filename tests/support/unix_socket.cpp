#include "support/unix_socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace gwtest {

namespace {

// Runs `use` with the address of `path` reached through its folder, opened for the call.
template <class Use>
int throughFolder(const std::filesystem::path& path, const Use& use) {
    const int folder = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    const std::string within = "/proc/self/fd/" + std::to_string(folder) + "/" + path.filename().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int fd = -1;
    if (within.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, within.c_str(), within.size());
        fd = use(address);
    } else {
        errno = ENAMETOOLONG;
    }
    const int error = errno;
    ::close(folder);
    errno = error;
    return fd;
}

}  // namespace

int connectToSocket(const std::filesystem::path& path, int flags) {
    return throughFolder(path, [&](const sockaddr_un& address) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    });
}

int listenAtSocket(const std::filesystem::path& path, int backlog) {
    return throughFolder(path, [&](const sockaddr_un& address) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                       ::listen(fd, backlog) == 0)) {
            return fd;
        }
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    });
}

}  // namespace gwtest
