// Client side of the control pipe, for `vemsim ctl` and for tests.
#pragma once

#include <cstddef>
#include <string>

namespace zel::vem::sim {

// Longest command or answer line accepted on the control pipe.
constexpr size_t kMaxControlLine = 4096;

// Sends one command line to the control pipe of the service serving `pipeName` and reads the
// answer line into `answer`. True when the answer starts with "ok"; false for an "error"
// answer or when the service cannot be reached (then `answer` says so).
bool controlRequest(const std::string& pipeName, const std::string& line, std::string& answer);

}  // namespace zel::vem::sim
