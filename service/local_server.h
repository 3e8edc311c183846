// LocalServer: the listening end of a local pipe, and the listing of pipes by name prefix.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/local_socket.h"
#include "service/shared_security.h"

namespace zel::vem {

// Hands out one connected LocalSocket per client. Windows: named-pipe instances created with
// FILE_FLAG_FIRST_PIPE_INSTANCE. POSIX: a listening Unix-domain socket at DIR/NAME.
//
// Lifecycle: constructed -> listening (listen) -> closed (close). A closed server stays closed:
// listen fails and accept throws from then on.
class LocalServer {
  public:
    LocalServer();
    ~LocalServer();  // close()
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Starts serving the pipe NAME (UTF-8); flags: GlobalAccess lets every account connect.
    // False when a live pipe of that name exists, when this server already listens or was
    // closed, or when the system refuses. POSIX: a socket file nobody answers on is stale and
    // replaced; a missing pipe directory is created (0700, 0755 with GlobalAccess); an existing
    // one that other users may write to, or that belongs to another user than root or this
    // one, is refused, never changed.
    bool listen(const char* name, unsigned flags = 0);

    // Blocks until a client connects and returns its connection; the server keeps listening for
    // the next client. Throws std::runtime_error with "Pipe not open." (not listening),
    // "ConnectNamedPipe aborted." (close() from another thread), "ConnectNamedPipe failed,
    // GetLastError() = N." or "ConnectNamedPipe failed." (the system refused), "CreateNamedPipe
    // failed." (no instance for the next client: the server no longer listens).
    LocalSocket accept();

    // Stops listening; a blocked accept in another thread ends with "ConnectNamedPipe aborted.".
    // Sockets already accepted stay connected. Harmless when repeated.
    void close();

  private:
    struct State;
    std::unique_ptr<State> state;
};

// Names (UTF-8, without the directory) of the pipes whose names start with `prefix`, in the
// order the system lists them; empty when there are none.
std::vector<std::string> listPipes(const char* prefix);

}  // namespace zel::vem
