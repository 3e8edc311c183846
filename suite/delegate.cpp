// The flat delegate's release function of the base library.
#include "suite/delegate.h"

extern "C" void zelDelegate_Destroy(zelDelegate d) {
    if (d.manager != nullptr) {
        d.manager->release(d.context);
    }
}
