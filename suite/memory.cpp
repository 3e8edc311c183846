// Heap and error helpers of the base library.
#include "suite/memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

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
    std::string text;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n > 0) {
            text.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(&text[0], text.size(), format, args);
            text.resize(static_cast<size_t>(n));
        }
        va_end(args);
    }
    throw std::out_of_range(text);
}

}  // namespace zel
