// Where a pipe of a given name lives on this system (used by the client and the serving side).
#pragma once

#include <string>

namespace zel::vem {

// Windows: "\\.\pipe\NAME", cut to 511 bytes like every pipe path of ours.
// POSIX: "DIR/NAME", DIR from pipeDirectory(); empty when NAME cannot name a pipe there (empty,
// ".", "..", containing '/', or too long for a socket address).
std::string pipePath(const char* name);

// Windows: "\\.\pipe\". POSIX: $ZELVEM_PIPE_DIR when set and not empty, else
// $XDG_RUNTIME_DIR/zelvem when XDG_RUNTIME_DIR is absolute, else /tmp/zelvem-UID (the effective
// user id). Which folders a client or server accepts: service/pipe_trust_posix.h.
std::string pipeDirectory();

}  // namespace zel::vem
