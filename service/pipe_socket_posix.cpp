// POSIX only: Unix-domain socket steps shared by the client and the serving side of a pipe.
#include "service/pipe_socket_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace zel::vem {

void suppressSigpipe(int fd) {
#if defined(SO_NOSIGPIPE)
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#else
    (void)fd;
#endif
}

ConnectResult connectUnixSocket(const std::string& path, int& fd) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return ConnectResult::Failed;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        return ConnectResult::Failed;
    }
    // Non-blocking only for the connect: a full accept queue must fail at once, not block.
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        ::close(s);
        switch (error) {
            case ECONNREFUSED:
            case ENOENT:
                return ConnectResult::Refused;
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
                return ConnectResult::Busy;
            default:
                return ConnectResult::Failed;
        }
    }
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(s);
        return ConnectResult::Failed;
    }
    suppressSigpipe(s);
    fd = s;
    return ConnectResult::Connected;
}

}  // namespace zel::vem
