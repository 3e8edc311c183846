// Text helpers of the service link: UTF-16 conversion for POSIX, through the base library.
#include "service/text_util.h"

#include "suite/utf.h"

namespace zel::vem {

std::u16string toWide(const char* utf8) {
    if (utf8 == nullptr) {
        return {};
    }
    return zel::Utf8ToUtf16(utf8);
}

}  // namespace zel::vem
