// POSIX only: which pipe folders may be used, and who may answer on a pipe.
#pragma once

#include <sys/types.h>

#include <string>

namespace zel::vem {

// The pipe folder and how it was chosen.
struct PipeFolder {
    std::string path;
    // Named by $ZELVEM_PIPE_DIR: an administrator's choice, which may belong to a service
    // account. The defaults must belong to the user (or root).
    bool named = false;
};
PipeFolder pipeFolder();

// The rules below return why something is not to be trusted, in words for a person, or an
// empty string when it may be trusted.

// Client side: `folder` must be a real directory (not a symbolic link) that no group or other
// user can write to, and a default folder must be owned by this user or root. A folder that does
// not exist is no trust problem (nobody serves there); `exists` tells it apart. `owner` receives
// the folder's owner.
std::string clientFolderProblem(const PipeFolder& folder, bool& exists, uid_t& owner);

// Serving side: an existing `dir` must pass the client's test and be owned by root or by this
// user, whoever named it.
std::string serverFolderProblem(const std::string& dir);

// After connecting: the peer's user must be root, this user, or (for a named folder) the
// folder's owner.
std::string peerProblem(int fd, const PipeFolder& folder, uid_t folderOwner);

// A client's connect to the pipe NAME with every check above. True with a connected, blocking
// socket in `fd`; otherwise false, with the reason in `why` when it was one of trust (empty when
// nothing serves there, or the system refused).
bool connectTrustedPipe(const char* name, int& fd, std::string* why);

}  // namespace zel::vem
