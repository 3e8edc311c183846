// LocalSocket for POSIX: a Unix-domain stream socket connected to DIR/NAME.
#include "service/local_socket.h"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include "service/pipe_trust_posix.h"

namespace zel::vem {

namespace {
// read and write never move more than SSIZE_MAX at once.
constexpr size_t kMaxTransfer = SSIZE_MAX;

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif
}  // namespace

bool LocalSocket::connect(const char* name) {
    close();
    // A folder or peer we do not trust fails like a pipe nobody serves: the library keeps no
    // log, and tools ask pipeTrustProblem() for the reason.
    int fd = -1;
    if (!connectTrustedPipe(name, fd, nullptr)) {
        return false;
    }
    handle = fd;
    return true;
}

void LocalSocket::closeHandle() {
    ::close(static_cast<int>(handle));
}

void LocalSocket::interruptTransfers() {
    // Wakes a recv or send blocked in another thread; the descriptor itself stays ours.
    ::shutdown(static_cast<int>(handle), SHUT_RDWR);
}

bool LocalSocket::readSome(char* buffer, size_t count, size_t& done) {
    const size_t ask = count < kMaxTransfer ? count : kMaxTransfer;
    for (;;) {
        const ssize_t moved = ::recv(static_cast<int>(handle), buffer, ask, 0);
        if (moved > 0) {
            done = static_cast<size_t>(moved);
            return true;
        }
        // 0 is the end of the stream: the peer closed.
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

bool LocalSocket::writeSome(const char* buffer, size_t count, size_t& done) {
    const size_t ask = count < kMaxTransfer ? count : kMaxTransfer;
    for (;;) {
        // MSG_NOSIGNAL: a closed peer must give a short count, not kill the process.
        const ssize_t moved = ::send(static_cast<int>(handle), buffer, ask, kSendFlags);
        if (moved > 0) {
            done = static_cast<size_t>(moved);
            return true;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

}  // namespace zel::vem
