#include "platform/graphics/render_protocol.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform::graphics::render {

bool sendSpawn(int socket, const Spawn& spawn, const int (&fds)[4]) {
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
    while ((sent = ::sendmsg(socket, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == ssize_t(sizeof spawn);
}

}  // namespace platform::graphics::render
