// Process-wide security for shared objects, POSIX: permission modes instead of an ACL.
#include "service/shared_security.h"

namespace zel::vem {

namespace {
unsigned everyoneReadWrite = 0666;
constexpr unsigned kOwnerOnly = 0600;
}  // namespace

void* SharedSecurity::attributes() {
    return &everyoneReadWrite;
}

unsigned sharedAccessMode(unsigned flags) {
    if ((flags & GlobalAccess) == 0) {
        return kOwnerOnly;
    }
    return *static_cast<const unsigned*>(SharedSecurity::attributes());
}

unsigned sectionAccessMode(unsigned flags) {
    // Write access would let any account paint frames into another user's movie.
    return (flags & GlobalAccess) ? 0644 : kOwnerOnly;
}

}  // namespace zel::vem
