// POSIX only: Unix-domain socket steps shared by the client and the serving side of a pipe.
#pragma once

#include <string>

namespace zel::vem {

enum class ConnectResult {
    Connected,  // fd holds a connected, blocking socket
    Refused,    // nothing listens there (no file, or a stale socket file)
    Busy,       // a server listens but its queue of waiting clients is full
    Failed,     // anything else (no descriptors, not a socket, permission, ...)
};

// Connects without waiting on a busy server, as a Windows pipe client does not wait either.
ConnectResult connectUnixSocket(const std::string& path, int& fd);

// Keeps writes to a closed peer from raising SIGPIPE where send() has no MSG_NOSIGNAL.
void suppressSigpipe(int fd);

}  // namespace zel::vem
