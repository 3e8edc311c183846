// processTerminating() for POSIX: static destructors run at exit() with every thread still alive.
#include "vem/process_state.h"

namespace zel::vem {

bool processTerminating() {
    return false;
}

}  // namespace zel::vem
