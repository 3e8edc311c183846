// Seek arithmetic shared by the base library's own files (internal to zel).
#pragma once

#include <cstdint>

#include "suite/file.h"

namespace zel {

// The position that Seek(offset, origin) gives, kept within 0..size; an unknown origin keeps
// position. Clamps before adding, so no offset can overflow.
inline int64_t ResolveSeek(int64_t position, int64_t size, int64_t offset, uint32_t origin) {
    int64_t base;
    switch (origin) {
        case kSeekBegin:
            base = 0;
            break;
        case kSeekCurrent:
            base = position;
            break;
        case kSeekEnd:
            base = size;
            break;
        default:
            return position;
    }
    if (offset < -base) {
        return 0;
    }
    if (offset > size - base) {
        return size;
    }
    return base + offset;
}

}  // namespace zel
