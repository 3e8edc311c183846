// widePath: a UTF-8 file name as the UTF-16 the Windows file calls take (Windows only).
#pragma once

#include <string>

#include "suite/utf.h"

namespace vemcli {

// Names are UTF-8 inside vem; the ...W calls keep every script, where the ...A calls would
// pass them through the console's code page.
inline std::wstring widePath(const std::string& utf8) {
    const std::u16string wide = zel::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

}  // namespace vemcli
