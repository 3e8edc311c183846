// Token comparison, cookies and query parameters.
#include "access.h"

#include <cctype>
#include <cstdint>
#include <stdexcept>

#include "system_random.h"

namespace vemserve {

std::string makeToken() {
    unsigned char bytes[32];
    if (!systemRandom(bytes, sizeof bytes)) {
        throw std::runtime_error("the system's random generator gave no bytes for the token");
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

bool sameSecret(std::string_view a, std::string_view b) {
    // Every byte of the longer text is visited whatever the contents; volatile keeps the
    // compiler from leaving the loop early.
    volatile unsigned char difference = a.size() == b.size() ? 0 : 1;
    const size_t n = a.size() > b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference = difference | (x ^ y);
    }
    return difference == 0;
}

std::string cookieName(unsigned short port) {
    return "zelvem-token-" + std::to_string(port);
}

std::string cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t semicolon = header.find(';');
        std::string_view pair = header.substr(0, semicolon);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            std::string_view value = pair.substr(equals + 1);
            while (!value.empty() && value.back() == ' ') {
                value.remove_suffix(1);
            }
            return std::string(value);
        }
        if (semicolon == std::string_view::npos) {
            break;
        }
        header.remove_prefix(semicolon + 1);
    }
    return std::string();
}

std::string percentEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

bool percentDecode(std::string_view text, std::string& out) {
    out.clear();
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = hex(text[i + 1]);
        const int low = hex(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

namespace {

template <typename Visit>
void forEachParameter(std::string_view query, Visit visit) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        const size_t equals = pair.find('=');
        visit(pair.substr(0, equals),
              equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1),
              pair);
        if (amp == std::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
}

}  // namespace

std::string queryValue(std::string_view query, std::string_view name, bool& found) {
    found = false;
    std::string value;
    forEachParameter(query, [&](std::string_view key, std::string_view raw, std::string_view) {
        if (!found && key == name) {
            std::string plus(raw);
            for (char& c : plus) {
                if (c == '+') {
                    c = ' ';
                }
            }
            found = percentDecode(plus, value);
        }
    });
    return value;
}

std::string queryWithout(std::string_view query, std::string_view name) {
    std::string kept;
    forEachParameter(query, [&](std::string_view key, std::string_view, std::string_view pair) {
        if (key != name && !pair.empty()) {
            kept += kept.empty() ? "" : "&";
            kept += pair;
        }
    });
    return kept;
}

}  // namespace vemserve
