// Text forms shared by the computed views: UTC times, exact elapsed seconds, XML and JSON escapes.
#include "movies/view_text.h"

#include <cstdio>
#include <limits>

namespace zel::vem::view_text {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr uint32_t kReplacement = 0xFFFD;

// Days since 1970-01-01 to the proleptic Gregorian calendar (year, month 1-12, day 1-31),
// counted in 400-year eras so that it holds for every day a 64-bit time reaches.
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;  // days from 0000-03-01 to 1970-01-01
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// Floor division, since times before 1970 belong to the second (and day) that began earlier.
int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The next code point of `text` from `i`, advancing `i`; kReplacement (one byte consumed) for
// a byte that does not start a well-formed UTF-8 sequence (overlong forms and surrogates
// included).
uint32_t nextCodePoint(std::string_view text, size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    unsigned length = 0;
    uint32_t code = 0;
    uint32_t lowest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, lowest = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (text.size() - i < length) {
        ++i;
        return kReplacement;
    }
    for (unsigned k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += length;
    return code;
}

bool allowedInXml(uint32_t code) {
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

}  // namespace

int64_t saturatingDifference(int64_t a, int64_t b) {
    if (b < 0 && a > std::numeric_limits<int64_t>::max() + b) {
        return std::numeric_limits<int64_t>::max();
    }
    if (b > 0 && a < std::numeric_limits<int64_t>::min() + b) {
        return std::numeric_limits<int64_t>::min();
    }
    return a - b;
}

std::string utcTimeOfSeconds(int64_t seconds, uint32_t microseconds) {
    const int64_t days = floorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<unsigned>(seconds - days * 86400);
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%06uZ",
                  static_cast<long long>(year), month, day, secondOfDay / 3600,
                  secondOfDay / 60 % 60, secondOfDay % 60, microseconds);
    return text;
}

std::string utcTime(int64_t nanoseconds) {
    const int64_t seconds = floorDiv(nanoseconds, kNanosecondsPerSecond);
    const auto fraction = static_cast<uint32_t>(nanoseconds - seconds * kNanosecondsPerSecond);
    return utcTimeOfSeconds(seconds, fraction / 1000);
}

size_t elapsedInto(char* out, int64_t t, int64_t t0, int decimals, bool trim) {
    // The magnitude in unsigned arithmetic: exact, since |t - t0| < 2^64.
    const bool negative = t < t0;
    const uint64_t magnitude = negative ? static_cast<uint64_t>(t0) - static_cast<uint64_t>(t)
                                        : static_cast<uint64_t>(t) - static_cast<uint64_t>(t0);
    decimals = decimals < 0 ? 0 : (decimals > 9 ? 9 : decimals);
    uint64_t scale = 1;
    for (int i = decimals; i < 9; ++i) {
        scale *= 10;
    }
    uint64_t whole = magnitude / 1000000000;
    uint64_t fraction = magnitude % 1000000000 / scale;
    // Digits from the right: the fraction's (zero-padded), the point, the whole seconds'.
    char digits[kElapsedMax];
    size_t n = 0;
    for (int i = 0; i < decimals; ++i, fraction /= 10) {
        digits[n++] = static_cast<char>('0' + fraction % 10);
    }
    if (decimals > 0) {
        digits[n++] = '.';
    }
    do {
        digits[n++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    size_t skip = 0;  // trailing zeros of the fraction to drop, keeping one digit
    if (trim) {
        while (skip + 1 < static_cast<size_t>(decimals) && digits[skip] == '0') {
            ++skip;
        }
    }
    size_t length = 0;
    if (negative && magnitude / scale != 0) {  // no "-0"
        out[length++] = '-';
    }
    for (size_t i = n; i-- > skip;) {
        out[length++] = digits[i];
    }
    return length;
}

std::string elapsed(int64_t t, int64_t t0, int decimals, bool trim) {
    char text[kElapsedMax];
    return std::string(text, elapsedInto(text, t, t0, decimals, trim));
}

std::string xmlEscape(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t code = nextCodePoint(utf8, i);
        if (!allowedInXml(code)) {
            code = kReplacement;
        }
        switch (code) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // Tab, line feed and carriage return too: an attribute value would otherwise
                // turn them into spaces.
                if (code >= 0x20 && code < 0x7F) {
                    out += static_cast<char>(code);
                } else {
                    char ref[16];
                    std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(code));
                    out += ref;
                }
        }
    }
    return out;
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (size_t i = 0; i < utf8.size();) {
        const uint32_t code = nextCodePoint(utf8, i);
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code > 0x7e) {
            // All ASCII: zarr 2.13 reads its metadata texts as ASCII, as Python's json writes
            // them; characters past U+FFFF as a surrogate pair.
            char escape[16];
            if (code > 0xffff) {
                const uint32_t v = code - 0x10000;
                std::snprintf(escape, sizeof escape, "\\u%04x\\u%04x", 0xd800 + (v >> 10),
                              0xdc00 + (v & 0x3ff));
            } else {
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
            }
            out += escape;
        } else {
            out += static_cast<char>(code);
        }
    }
    out += '"';
    return out;
}

}  // namespace zel::vem::view_text
