// Text helpers of the service link: UTF-16 conversion for Windows, through the system code page.
#include <windows.h>

#include "service/text_util.h"

namespace zel::vem {

std::u16string toWide(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0') {
        return {};
    }
    // The count includes the terminator because the length -1 asks for it.
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (count <= 1) {
        return {};
    }
    std::u16string wide(static_cast<size_t>(count), u'\0');
    const int done =
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, reinterpret_cast<wchar_t*>(&wide[0]), count);
    wide.resize(done > 0 ? static_cast<size_t>(done - 1) : 0);
    return wide;
}

}  // namespace zel::vem
