// Random bytes from the operating system's cryptographic generator.
#pragma once

#include <cstddef>

namespace vemserve {

// Fills `out` with `n` bytes; false when the system could not.
bool systemRandom(unsigned char* out, size_t n);

}  // namespace vemserve
