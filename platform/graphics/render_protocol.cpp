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

int sendRecord(int socket, const void* record, size_t size, const int* fds, int count) {
    iovec part{const_cast<void*>(record), size};
    alignas(cmsghdr) char control[CMSG_SPACE(kSpawnFds * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    ssize_t sent;
    while ((sent = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (sent < 0) return errno;
    return sent == ssize_t(size) ? 0 : EMSGSIZE;
}

ssize_t receiveRecord(int socket, void* record, size_t size, int* fds, int most, int flags, bool* lost) {
    for (int i = 0; i < most; ++i) fds[i] = -1;
    *lost = false;
    iovec part{record, size};
    alignas(cmsghdr) char control[CMSG_SPACE(kSpawnFds * sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = ::recvmsg(socket, &message, flags | MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    const int error = errno;
    int received = 0;
    for (cmsghdr* c = n >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const int arrived = int((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
        for (int i = 0; i < arrived; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (received < most) {
                fds[received++] = fd;
            } else {
                ::close(fd);
                *lost = true;
            }
        }
    }
    if (n >= 0 && (message.msg_flags & MSG_CTRUNC) != 0) *lost = true;
    errno = error;
    return n;
}

double monotonicSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void Headway::look() {
    const double now = monotonicSeconds();
    const double span = std::max(0.0, now - at_);
    const Counts counts = count();
    // A thread that ended meanwhile takes its counts with it: never less than none.
    const uint64_t ran = counts.ran > last_.ran ? counts.ran - last_.ran : 0;
    const uint64_t waited = counts.waited > last_.waited ? counts.waited - last_.waited : 0;
    // The kernel adds a wait for a processor only once it has ended: a span in which the
    // process did not run may be all wait, which a thread waiting now shows.
    const bool waiting = ran == 0 && runnable();
    if (!waiting) taken_ += span - std::min(span, double(waited) / 1e9);
    if (counts == last_ && !waiting) stalled_ += span;
    at_ = now;
    last_ = counts;
}

namespace {

// Calls `each` with the name of every thread of `pid` and the folder that holds them, read
// with system calls into buffers of its own: the helper looks between drawings, the program
// while a drawing waits, and neither need allocate for it.
template <typename Each>
void forEachThread(pid_t pid, Each each) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "/proc/%d/task", int(pid));
    const int tasks = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) return;
    char entries[4096];
    for (long n; (n = ::syscall(SYS_getdents64, tasks, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] != '.') each(tasks, entry->d_name);
        }
    }
    ::close(tasks);
}

// The first `size` - 1 bytes of `name` in the folder `at`, ended; empty when unread.
template <size_t size>
bool readInto(int at, const char* name, char (&text)[size]) {
    const int fd = ::openat(at, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t read = ::read(fd, text, size - 1);
    ::close(fd);
    text[read > 0 ? read : 0] = '\0';
    return read > 0;
}

}  // namespace

Headway::Counts Headway::count() const {
    Counts counts;
    forEachThread(pid_, [&](int tasks, const char* thread) {
        char path[64], text[96];
        std::snprintf(path, sizeof path, "%.32s/schedstat", thread);
        // "<time on a processor> <time waiting for one> <time slices>", in nanoseconds.
        unsigned long long ran = 0, waited = 0;
        if (readInto(tasks, path, text) && std::sscanf(text, "%llu %llu", &ran, &waited) == 2) {
            counts.ran += ran;
            counts.waited += waited;
        }
    });
    return counts;
}

namespace {

// Whether a thread of `pid` is in one of `states` now (the kernel's letters: 'R' running or
// waiting for a processor, 'T' stopped, 't' stopped by a tracer).
bool anyThreadIn(pid_t pid, const char* states) {
    bool any = false;
    forEachThread(pid, [&](int tasks, const char* thread) {
        char path[64], text[512];
        std::snprintf(path, sizeof path, "%.32s/stat", thread);
        // "<pid> (<name>) <state> …": the name may hold anything but the last ')'.
        if (any || !readInto(tasks, path, text)) return;
        const char* end = std::strrchr(text, ')');
        any = end != nullptr && end[1] == ' ' && end[2] != '\0' && std::strchr(states, end[2]) != nullptr;
    });
    return any;
}

}  // namespace

bool Headway::runnable() const { return anyThreadIn(pid_, "R"); }

bool processStopped(pid_t pid) { return anyThreadIn(pid, "Tt"); }

}  // namespace platform::graphics::render
