// Where a pipe of a given name lives, Windows: the named-pipe namespace.
#include "service/pipe_path.h"

#include <cstdio>

namespace zel::vem {

std::string pipePath(const char* name) {
    // Bounded formatting: a longer path is cut to 511 bytes and still terminated.
    char buffer[512];
    std::snprintf(buffer, sizeof(buffer), "\\\\.\\pipe\\%s", name != nullptr ? name : "");
    return buffer;
}

std::string pipeDirectory() {
    return "\\\\.\\pipe\\";
}

}  // namespace zel::vem
