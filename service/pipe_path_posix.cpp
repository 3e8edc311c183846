// Where a pipe of a given name lives, POSIX: a Unix-domain socket file in the pipe directory.
#include "service/pipe_path.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "service/pipe_trust_posix.h"

namespace zel::vem {

PipeFolder pipeFolder() {
    const char* named = std::getenv("ZELVEM_PIPE_DIR");
    if (named != nullptr && *named != '\0') {
        std::string dir = named;
        // "/run/zelvem/" is the folder "/run/zelvem": one spelling for the checks and for mkdir.
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        return {dir, true};
    }
    // The per-user runtime folder is private to the user and cleared at logout, which is what a
    // rendezvous point wants. A relative value would depend on the working directory: ignored.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string dir = runtime;
        while (!dir.empty() && dir.back() == '/') {
            dir.pop_back();
        }
        return {dir + "/zelvem", false};
    }
    // One folder per user: a folder shared by all would let the first user to bind the name
    // play the drive for everyone.
    return {"/tmp/zelvem-" + std::to_string(static_cast<unsigned long>(geteuid())), false};
}

std::string pipeDirectory() {
    return pipeFolder().path;
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
