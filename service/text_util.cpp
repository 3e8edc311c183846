// Text helpers of the service link: formatting, shared by every platform.
#include "service/text_util.h"

#include <cstdarg>

#include "suite/strings.h"

namespace zel::vem {

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // Measures first, then formats into a string of exactly that length.
    std::string text = CString::FromFormatV(format, args).str();
    va_end(args);
    return text;
}

}  // namespace zel::vem
