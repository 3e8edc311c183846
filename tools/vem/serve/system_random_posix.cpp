// Random bytes on POSIX: /dev/urandom, which never blocks once the system has seeded it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system_random.h"

namespace vemserve {

bool systemRandom(unsigned char* out, size_t n) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(fd, out + done, n - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    return done == n;
}

}  // namespace vemserve
