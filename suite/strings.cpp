// Narrow and wide strings of the base library.
#include "suite/strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "suite/utf.h"

namespace zel {

namespace {

std::string VFormat(const char* format, va_list args) {
    std::string text;
    if (format == nullptr) {
        return text;
    }
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n > 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(n));
    }
    return text;
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

}  // namespace

CString::CString(const char* text, int length) {
    if (text != nullptr) {
        m_text.assign(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
    }
}

CString& CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    m_text = VFormat(format, args);
    va_end(args);
    return *this;
}

CString CString::FromFormatV(const char* format, va_list args) {
    return CString(VFormat(format, args));
}

CString CString::FromFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CString result(VFormat(format, args));
    va_end(args);
    return result;
}

CStringW::CStringW(const char* utf8, int length) {
    if (utf8 != nullptr) {
        m_text = Utf8ToUtf16(
            std::string_view(utf8, length < 0 ? std::strlen(utf8) : static_cast<size_t>(length)));
    }
}

CStringW::CStringW(const char16_t* text, int length) {
    if (text != nullptr) {
        if (length < 0) {
            m_text.assign(text);
        } else {
            m_text.assign(text, static_cast<size_t>(length));
        }
    }
}

CStringW CStringW::substr(size_t pos, size_t n) const {
    if (pos >= m_text.size()) {
        return CStringW();
    }
    return CStringW(m_text.substr(pos, n));
}

CStringW CStringW::SubString(size_t start, size_t end) const {
    if (end > m_text.size()) {
        end = m_text.size();
    }
    if (start >= end) {
        return CStringW();
    }
    return CStringW(m_text.substr(start, end - start));
}

bool CStringW::StartsWith(const CStringW& prefix) const {
    return m_text.size() >= prefix.m_text.size() &&
           m_text.compare(0, prefix.m_text.size(), prefix.m_text) == 0;
}

bool CStringW::EndsWithNoCase(const CStringW& suffix) const {
    const size_t n = suffix.m_text.size();
    if (m_text.size() < n) {
        return false;
    }
    const size_t base = m_text.size() - n;
    for (size_t i = 0; i < n; ++i) {
        if (FoldAscii(m_text[base + i]) != FoldAscii(suffix.m_text[i])) {
            return false;
        }
    }
    return true;
}

CString CStringW::ToUtf8() const {
    return CString(Utf16ToUtf8(m_text));
}

}  // namespace zel
