// Why a connect to a pipe would be refused for want of trust, for tools to tell their users.
#pragma once

#include <string>

namespace zel::vem {

// For the pipe NAME (UTF-8, e.g. "zelvemsvc"): a sentence saying why the library will not talk
// to whoever serves it -- the pipe folder is unsafe, or the peer is another user -- or an empty
// string when there is no such reason (the service may still be absent). POSIX connects once
// to ask the peer's identity and sends nothing. Windows: always empty.
std::string pipeTrustProblem(const char* name);

// Why this process may not serve pipes in the pipe folder (POSIX: the folder exists but is
// unsafe, or belongs to a user other than root or this one), or an empty string. Windows:
// always empty.
std::string pipeServeProblem();

}  // namespace zel::vem
