// Narrow (UTF-8) and wide (UTF-16) strings of the base library.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <utility>

#include "suite/export.h"
#include "suite/memory.h"

namespace zel {

// Narrow text, UTF-8 by convention (everything on the pipe and in INI files).
// Members are exported one by one: a dllimport class cannot hand out its constexpr members.
class CString {
  public:
    CString() = default;
    // length -1 means up to the terminating NUL; a null pointer gives the empty string.
    ZEL_API CString(const char* text, int length = -1);
    explicit CString(std::string text) : m_text(std::move(text)) {}

    const char* c_str() const { return m_text.c_str(); }
    size_t length() const { return m_text.size(); }
    bool empty() const { return m_text.empty(); }
    const std::string& str() const { return m_text; }

    // Replaces the content with the printf-formatted text.
    ZEL_API CString& Format(const char* format, ...) ZEL_PRINTF(2, 3);
    ZEL_API static CString FromFormat(const char* format, ...) ZEL_PRINTF(1, 2);
    // The same from a va_list, for other variadic functions; an encoding error gives "".
    ZEL_API static CString FromFormatV(const char* format, va_list args);

    CString& operator+=(const CString& other) {
        m_text += other.m_text;
        return *this;
    }
    friend CString operator+(const CString& a, const CString& b) {
        return CString(a.m_text + b.m_text);
    }
    friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_text != b.m_text; }
    friend bool operator<(const CString& a, const CString& b) { return a.m_text < b.m_text; }

  private:
    std::string m_text;
};

// Wide text: UTF-16 code units on every platform, so lengths, searches and comparisons give the
// same answers everywhere. All positions and lengths count code units.
class CStringW {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    CStringW() = default;
    // From UTF-8; length in bytes, -1 means up to the NUL; a null pointer gives the empty string.
    // Malformed UTF-8 becomes U+FFFD.
    ZEL_API CStringW(const char* utf8, int length = -1);
    // length in code units, -1 means up to the NUL; a null pointer gives the empty string.
    ZEL_API CStringW(const char16_t* text, int length = -1);
    CStringW(std::u16string text) : m_text(std::move(text)) {}

    const char16_t* c_str() const { return m_text.c_str(); }
#if defined(_WIN32)
    // wchar_t is a UTF-16 unit on Windows, which is what the ...W calls take.
    const wchar_t* w_str() const {
        return reinterpret_cast<const wchar_t*>(m_text.c_str());
    }
#endif
    size_t length() const {
        return m_text.size();
    }
    bool empty() const {
        return m_text.empty();
    }
    const std::u16string& str() const {
        return m_text;
    }
    char16_t operator[](size_t i) const {
        return m_text[i];
    }

    size_t find(const CStringW& what, size_t pos = 0) const {
        return m_text.find(what.m_text, pos);
    }
    size_t find(char16_t what, size_t pos = 0) const {
        return m_text.find(what, pos);
    }
    size_t rfind(char16_t what, size_t pos = npos) const {
        return m_text.rfind(what, pos);
    }
    // Out-of-range positions are clamped instead of throwing: a position at or past the end
    // gives the empty string.
    ZEL_API CStringW substr(size_t pos, size_t n = npos) const;
    CStringW Mid(size_t pos, size_t n = npos) const {
        return substr(pos, n);
    }
    // The units [start, end), clamped to the string.
    ZEL_API CStringW SubString(size_t start, size_t end) const;

    ZEL_API bool StartsWith(const CStringW& prefix) const;
    // ASCII letters compare without case; everything else exactly.
    ZEL_API bool EndsWithNoCase(const CStringW& suffix) const;
    bool Equals(const CStringW& other) const {
        return m_text == other.m_text;
    }

    ZEL_API CString ToUtf8() const;

    CStringW& operator+=(const CStringW& other) {
        m_text += other.m_text;
        return *this;
    }
    CStringW& operator+=(char16_t c) {
        m_text += c;
        return *this;
    }
    friend CStringW operator+(const CStringW& a, const CStringW& b) {
        return CStringW(a.m_text + b.m_text);
    }
    friend CStringW operator+(const CStringW& a, const char16_t* b) {
        return a + CStringW(b);
    }
    friend bool operator==(const CStringW& a, const CStringW& b) {
        return a.m_text == b.m_text;
    }
    friend bool operator!=(const CStringW& a, const CStringW& b) {
        return a.m_text != b.m_text;
    }
    friend bool operator<(const CStringW& a, const CStringW& b) {
        return a.m_text < b.m_text;
    }

  private:
    std::u16string m_text;
};

}  // namespace zel
