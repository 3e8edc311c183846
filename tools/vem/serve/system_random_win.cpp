// Random bytes on Windows: the system's preferred generator (BCryptGenRandom).
#include <windows.h>
// after windows.h
#include <bcrypt.h>

#include "system_random.h"

namespace vemserve {

bool systemRandom(unsigned char* out, size_t n) {
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) ==
           0;
}

}  // namespace vemserve
