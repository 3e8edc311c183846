// UTF-8 <-> UTF-16 conversion of the base library, the same code on every platform.
#pragma once

#include <string>
#include <string_view>

#include "suite/export.h"

namespace zel {

// Malformed input (bad lead or continuation bytes, overlong forms, surrogate code points in
// UTF-8, unpaired surrogates in UTF-16, values above U+10FFFF) becomes U+FFFD, one per
// maximal bad subpart, so that text from a peer never makes the conversion fail.
ZEL_API std::u16string Utf8ToUtf16(std::string_view text);
ZEL_API std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace zel
