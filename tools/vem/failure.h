// The failure a user should read, shared by the CLI and the copy library that vem and Python use.
#pragma once

#include <stdexcept>

namespace vemcli {

// A failure the user should read: main prints "vem: <what>" on stderr and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace vemcli
