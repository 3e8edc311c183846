// RemovalLock on POSIX: flock on a file beside the service's socket.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "service/pipe_path.h"
#include "service/removal_lock.h"

namespace zel::vem {

RemovalLock::RemovalLock(const char* pipeName, uint32_t timeoutMs) {
    const std::string pipe = pipePath(pipeName);
    if (pipe.empty()) {
        return;
    }
    const std::string path = pipe + ".remove-lock";
    // The pipe folder is one only its owner can write to (pipe_trust_posix.h), so the name
    // cannot be planted by another user; O_NOFOLLOW still refuses a link there.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    handle_ = fd;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            busy_ = true;
            return;
        }
        // A removal holds it for a few round trips: a short poll keeps the wait near that.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RemovalLock::~RemovalLock() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));  // also releases the flock
    }
}

}  // namespace zel::vem
