// Which local files the emulator may open, Windows: never a device, only regular files.
#include <windows.h>

#include "vem/local_names.h"

namespace zel::vem {

namespace {

char16_t upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool sameLetters(const std::u16string& text, const char16_t* word) {
    size_t i = 0;
    for (; word[i] != 0; ++i) {
        if (i >= text.size() || upper(text[i]) != word[i]) {
            return false;
        }
    }
    return i == text.size();
}

}  // namespace

bool isDeviceName(const CStringW& name) {
    std::u16string base;
    for (size_t i = 0; i < name.length(); ++i) {
        if (name[i] == u':') {
            return true;  // "file:stream" reaches a stream of another file
        }
    }
    // Windows looks only at the part before the first dot, with trailing dots and spaces
    // dropped: "nul.txt", "COM1 .dat" and "aux..x" are all devices.
    for (size_t i = 0; i < name.length() && name[i] != u'.'; ++i) {
        base += name[i];
    }
    while (!base.empty() && (base.back() == u' ' || base.back() == u'.')) {
        base.pop_back();
    }
    for (const char16_t* word : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (sameLetters(base, word)) {
            return true;
        }
    }
    if (base.size() == 4 &&
        (sameLetters(base.substr(0, 3), u"COM") || sameLetters(base.substr(0, 3), u"LPT"))) {
        const char16_t digit = base[3];
        return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
               digit == u'\u00B3';
    }
    return false;
}

bool isRegularLocalFile(const CStringW& path) {
    const DWORD attributes = GetFileAttributesW(path.w_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool localNameFree(const CStringW& path) {
    if (GetFileAttributesW(path.w_str()) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
}

}  // namespace zel::vem
