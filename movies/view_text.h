// Text forms shared by the computed views: UTC times, exact elapsed seconds, XML and JSON escapes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::vem::view_text {

// a - b, clamped to the 64-bit range instead of wrapping around.
int64_t saturatingDifference(int64_t a, int64_t b);

// "2024-02-14T09:30:00.250000Z" (six decimals, rounded down).
std::string utcTime(int64_t nanoseconds);
// "2024-02-14T09:30:00.000000Z" for whole seconds plus `microseconds` (0 to 999999).
std::string utcTimeOfSeconds(int64_t seconds, uint32_t microseconds);

// t - t0 in seconds with `decimals` (0 to 9) decimals, rounded toward zero, computed without
// overflow for any two 64-bit times. `trim` drops trailing zeros of the fraction (keeping one
// digit after the point): "0.008333" instead of "0.008333000".
std::string elapsed(int64_t t, int64_t t0, int decimals, bool trim);
// The same into `out` (room for kElapsedMax characters, no NUL); returns its length.
constexpr size_t kElapsedMax = 22;
size_t elapsedInto(char* out, int64_t t, int64_t t0, int decimals, bool trim);

// Text for an XML attribute value or element content, all ASCII: markup characters and every
// non-ASCII character as references, bytes that are not UTF-8 and characters XML 1.0 does not
// allow as U+FFFD, so that any name gives a well-formed document.
std::string xmlEscape(std::string_view utf8);
// A JSON string literal, quotes included, all ASCII: quotes and backslashes escaped, control
// characters and every non-ASCII character as \u escapes (a surrogate pair past U+FFFF), bytes
// that are not UTF-8 as U+FFFD.
std::string jsonString(std::string_view utf8);

}  // namespace zel::vem::view_text
