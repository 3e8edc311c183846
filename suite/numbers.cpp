// Decimal text of unsigned integers.
#include "suite/numbers.h"

#include <cstdio>

namespace zel {

namespace {

uint64_t ParseDecimal(const CString& text, uint64_t max, bool* ok) {
    const char* p = text.c_str();
    const size_t n = text.length();
    uint64_t value = 0;
    bool good = n > 0;
    for (size_t i = 0; good && i < n; ++i) {
        const char c = p[i];
        if (c < '0' || c > '9') {
            good = false;
            break;
        }
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10) {
            good = false;
            break;
        }
        value = value * 10 + digit;
    }
    if (ok != nullptr) {
        *ok = good;
    }
    return good ? value : 0;
}

}  // namespace

uint16_t CUInt16::Parse(const CString& text, bool* ok) {
    return static_cast<uint16_t>(ParseDecimal(text, UINT16_MAX, ok));
}

CString CUInt16::ToString(uint16_t value) {
    return CString::FromFormat("%u", static_cast<unsigned>(value));
}

uint32_t CUInt32::Parse(const CString& text, bool* ok) {
    return static_cast<uint32_t>(ParseDecimal(text, UINT32_MAX, ok));
}

CString CUInt32::ToString(uint32_t value) {
    return CString::FromFormat("%lu", static_cast<unsigned long>(value));
}

uint64_t CUInt64::Parse(const CString& text, bool* ok) {
    return ParseDecimal(text, UINT64_MAX, ok);
}

CString CUInt64::ToString(uint64_t value) {
    return CString::FromFormat("%llu", static_cast<unsigned long long>(value));
}

CString to_string(unsigned int value) {
    return CString::FromFormat("%u", value);
}

CString to_string(long long value) {
    return CString::FromFormat("%lld", value);
}

}  // namespace zel
