// Where a pipe of a given name lives, POSIX: a Unix-domain socket file in the pipe directory.
#include "service/pipe_path.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

namespace zel::vem {

std::string pipeDirectory() {
    const char* dir = std::getenv("ZELVEM_PIPE_DIR");
    if (dir != nullptr && *dir != '\0') {
        return dir;
    }
    return "/tmp/zelvem";
}

std::string pipePath(const char* name) {
    // A name must stay one entry of the directory: anything else could reach (or, on the
    // listening side, replace) files elsewhere.
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return {};
    }
    std::string path = pipeDirectory();
    if (path.back() != '/') {
        path += '/';
    }
    path += name;
    // Refused rather than cut: a cut path would silently reach a different pipe.
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return {};
    }
    return path;
}

}  // namespace zel::vem
