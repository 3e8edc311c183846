// Sizes as people read them, shared by the CLI and the copy library.
#pragma once

#include <cstdint>
#include <string>

namespace vemcli {

// Powers of 1024 as ls -h writes them: "512", "1.5K", "23M", "4.0G".
std::string humanSize(uint64_t bytes);

}  // namespace vemcli
