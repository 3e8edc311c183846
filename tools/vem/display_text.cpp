// Escaping text from the drive for terminals and JSON.
#include "display_text.h"

#include <cstdint>
#include <cstdio>

namespace vemcli {

namespace {

// The length of the well-formed UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF included).
size_t decode(const std::string& text, size_t at, uint32_t& cp) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : (lead & 0xF0) == 0xE0        ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

std::string hexEscape(const char* form, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, form, static_cast<unsigned>(value));
    return text;
}

}  // namespace

std::string displayText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t cp = 0;
        const size_t length = decode(text, at, cp);
        if (length == 0) {
            out += hexEscape("\\x%02x", static_cast<unsigned char>(text[at]));
            ++at;
            continue;
        }
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x20 || cp == 0x7F) {
            out += hexEscape("\\x%02x", cp);
        } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
            out += hexEscape("\\u%04x", cp);
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

std::string jsonText(const nlohmann::ordered_json& value, int indent) {
    return value.dump(indent, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vemcli
