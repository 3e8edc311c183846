// LocalSocket for POSIX: a Unix-domain stream socket connected to DIR/NAME.
#include "service/local_socket.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
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

// Waits until `fd` is ready for `events` or the deadline passes; false on expiry or failure.
bool waitReady(int fd, short events, LocalSocket::Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - LocalSocket::Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry = {fd, events, 0};
        // Rounded up, so a wait never ends a fraction of a millisecond early and spins.
        const int ms = left.count() >= INT_MAX ? INT_MAX : static_cast<int>(left.count()) + 1;
        const int ready = ::poll(&entry, 1, ms);
        if (ready > 0) {
            return true;  // ready, or an error or hang-up the transfer itself will report
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}
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

bool LocalSocket::peerGone() {
    if (handle == kInvalid || broken) {
        return true;
    }
    pollfd entry = {static_cast<int>(handle), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // Readable between exchanges means the end of the stream, an error, or stray bytes: none of
    // them leaves a connection an exchange can use.
    return ready != 0;
}

bool LocalSocket::readSome(char* buffer, size_t count, size_t& done) {
    const size_t ask = count < kMaxTransfer ? count : kMaxTransfer;
    const int fd = static_cast<int>(handle);
    // Under a deadline the wait is a poll for input. Besides keeping the time, it sleeps through
    // the wake-up a Unix socket sends its writer each time the peer takes in what was written:
    // a reader blocked in recv wakes for that too, and when the peer works between taking the
    // request and replying, each exchange costs two wake-ups instead of one (across cores, the
    // difference between 1.3-1.5 and 1.2-1.4 times the bare exchanges at start-up). Without a
    // deadline, frame reads keep to a single recv.
    for (;;) {
        if (hasDeadline && !waitReady(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t moved = ::recv(fd, buffer, ask, hasDeadline ? MSG_DONTWAIT : 0);
        if (moved > 0) {
            done = static_cast<size_t>(moved);
            return true;
        }
        // 0 is the end of the stream: the peer closed. EAGAIN after a poll said ready: another
        // look, bounded by the deadline.
        if (moved < 0 &&
            (errno == EINTR || (hasDeadline && (errno == EAGAIN || errno == EWOULDBLOCK)))) {
            continue;
        }
        lastError_ = moved < 0 ? errno : 0;
        return false;
    }
}

bool LocalSocket::writeSome(const char* buffer, size_t count, size_t& done) {
    const size_t ask = count < kMaxTransfer ? count : kMaxTransfer;
    const int fd = static_cast<int>(handle);
    // With a deadline the send never blocks: a request almost always fits the socket's buffer at
    // once, and only when it does not is there a wait, bounded by the deadline.
    const int flags = kSendFlags | (hasDeadline ? MSG_DONTWAIT : 0);
    for (;;) {
        // MSG_NOSIGNAL: a closed peer must give a short count, not kill the process.
        const ssize_t moved = ::send(fd, buffer, ask, flags);
        if (moved > 0) {
            done = static_cast<size_t>(moved);
            return true;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0 && hasDeadline && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            waitReady(fd, POLLOUT, deadline)) {
            continue;
        }
        lastError_ = moved < 0 ? errno : 0;
        return false;
    }
}

}  // namespace zel::vem
