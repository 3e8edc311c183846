// Text helpers of the service link: formatting, shared by every platform.
#include "service/text_util.h"

#include <cstdarg>
#include <cstdio>

namespace zel::vem {

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        // Room for the terminator that vsnprintf always writes; it is cut off again afterwards.
        text.resize(static_cast<size_t>(length) + 1);
        const int written = std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(written == length ? static_cast<size_t>(length) : 0);
    }
    va_end(args);
    return text;
}

}  // namespace zel::vem
