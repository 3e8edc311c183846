// Why a connect to a pipe would be refused for want of trust, Windows: never, by this library.
#include "service/pipe_check.h"

namespace zel::vem {

// Named pipes carry their own security descriptor; nothing here refuses a pipe server.
std::string pipeTrustProblem(const char*) {
    return {};
}

std::string pipeServeProblem() {
    return {};
}

}  // namespace zel::vem
