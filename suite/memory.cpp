// Heap and error helpers of the base library.
#include "suite/memory.h"

#include <cstdarg>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "suite/strings.h"

namespace zel {

void* Alloc(size_t size) {
    return std::malloc(size);
}

void* Realloc(void* block, size_t size) {
    return std::realloc(block, size);
}

void Free(void* block) {
    std::free(block);
}

void ThrowBadAllocException() {
    throw std::bad_alloc();
}

void ThrowOutOfRangeException(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CString text = CString::FromFormatV(format, args);
    va_end(args);
    throw std::out_of_range(text.str());
}

}  // namespace zel
