// Decimal text of unsigned integers: CUInt16, CUInt32, CUInt64 and to_string.
#pragma once

#include <cstdint>

#include "suite/export.h"
#include "suite/strings.h"

namespace zel {

// Parse accepts only the digits 0-9 (no sign, no blanks); empty text, any other character or a
// value that does not fit give 0 with *ok false.
class ZEL_API CUInt16 {
  public:
    static uint16_t Parse(const CString& text, bool* ok = nullptr);
    static CString ToString(uint16_t value);
};

class ZEL_API CUInt32 {
  public:
    static uint32_t Parse(const CString& text, bool* ok = nullptr);
    static CString ToString(uint32_t value);
};

class ZEL_API CUInt64 {
  public:
    static uint64_t Parse(const CString& text, bool* ok = nullptr);
    static CString ToString(uint64_t value);
};

ZEL_API CString to_string(unsigned int value);
ZEL_API CString to_string(long long value);

}  // namespace zel
