#include "platform/graphics/render_protocol.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform::graphics::render {

int sendSpawn(int socket, const Spawn& spawn, const int (&fds)[4]) {
    const int count = spawn.hasOutput ? 4 : 3;
    iovec part{const_cast<Spawn*>(&spawn), sizeof spawn};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    ssize_t sent;
    while ((sent = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (sent < 0) return errno;
    return sent == ssize_t(sizeof spawn) ? 0 : EMSGSIZE;
}

double monotonicSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double TimeTaken::seconds() {
    const double now = monotonicSeconds();
    const uint64_t waited = runQueueWait();
    const double elapsed = std::max(0.0, now - at_);
    // A thread that ended meanwhile takes its delay with it: never less than none.
    const double delayed = waited > waited_ ? double(waited - waited_) / 1e9 : 0.0;
    taken_ += elapsed - std::min(elapsed, delayed);
    at_ = now;
    waited_ = waited;
    return taken_;
}

uint64_t TimeTaken::runQueueWait() const {
    // Read with system calls into buffers of its own: the helper reads it between drawings,
    // the program while a drawing waits, and neither need allocate for it.
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%d/task", int(pid_));
    const int tasks = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return waited_;
    uint64_t total = 0;
    char entries[4096];
    for (long n; (n = ::syscall(SYS_getdents64, tasks, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.') continue;
            char path[64];
            std::snprintf(path, sizeof path, "%.32s/schedstat", entry->d_name);
            const int fd = ::openat(tasks, path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            char text[96] = {};
            const ssize_t read = ::read(fd, text, sizeof text - 1);
            ::close(fd);
            // "<time on a processor> <time waiting for one> <time slices>", in nanoseconds.
            unsigned long long running = 0, waiting = 0;
            if (read > 0 && std::sscanf(text, "%llu %llu", &running, &waiting) == 2) total += waiting;
        }
    }
    ::close(tasks);
    return total;
}

}  // namespace platform::graphics::render
