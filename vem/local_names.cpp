// Which names the file tree may act on: the rule every platform shares.
#include "vem/local_names.h"

namespace zel::vem {

bool hasControlCharacter(const CStringW& text) {
    for (size_t i = 0; i < text.length(); ++i) {
        const char16_t c = text[i];
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            return true;
        }
    }
    return false;
}

}  // namespace zel::vem
