// Text helpers of the service link: printf-style formatting and UTF-8 to UTF-16 conversion.
#pragma once

#include <string>

namespace zel::vem {

// printf-style formatting into a string of exactly the formatted length; an encoding error
// yields an empty string.
std::string formatString(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// UTF-8 to UTF-16, as the system's wide calls take names; malformed bytes become U+FFFD.
// A null pointer gives an empty string.
std::u16string toWide(const char* utf8);

}  // namespace zel::vem
