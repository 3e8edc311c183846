// Heap and error helpers of the base library: one heap and one set of exception texts for all
// modules.
#pragma once

#include <cstddef>

#include "suite/export.h"

#if defined(__GNUC__) && defined(_WIN32)
#define ZEL_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define ZEL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZEL_PRINTF(fmt, args)
#endif

namespace zel {

// The malloc family of the C runtime that every module shares, so a block may be freed by a
// module other than the one that allocated it.
ZEL_API void* Alloc(size_t size);
ZEL_API void* Realloc(void* block, size_t size);
ZEL_API void Free(void* block);

// Throws std::bad_alloc.
[[noreturn]] ZEL_API void ThrowBadAllocException();
// Throws std::out_of_range carrying the printf-formatted text.
[[noreturn]] ZEL_API void ThrowOutOfRangeException(const char* format, ...) ZEL_PRINTF(1, 2);

}  // namespace zel
