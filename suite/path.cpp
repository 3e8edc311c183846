// Path helpers of the base library.
#include "suite/path.h"

#include <string>
#include <vector>

namespace zel {
namespace path {

namespace {

bool IsSlash(char16_t c) {
    return c == u'/' || c == u'\\';
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Length of the root prefix: 1 for "/x", 3 for "C:/x", 2 for a bare "C:", 0 when relative.
size_t RootLength(const std::u16string& p, char16_t sep) {
    if (!p.empty() && p[0] == sep) {
        return 1;
    }
    const bool letter = p.size() >= 2 && p[1] == u':' &&
                        ((p[0] >= u'A' && p[0] <= u'Z') || (p[0] >= u'a' && p[0] <= u'z'));
    if (letter) {
        if (p.size() == 2) {
            return 2;
        }
        if (p[2] == sep) {
            return 3;
        }
    }
    return 0;
}

std::u16string Normalise(const std::u16string& p, char16_t sep) {
    const size_t rootLength = RootLength(p, sep);
    std::u16string root = p.substr(0, rootLength);
    if (rootLength == 2) {
        root += sep;  // "C:" alone means that drive's root here
    }
    std::vector<std::u16string> segments;
    size_t i = rootLength;
    while (i <= p.size()) {
        size_t j = p.find(sep, i);
        if (j == std::u16string::npos) {
            j = p.size();
        }
        std::u16string segment = p.substr(i, j - i);
        if (segment.empty() || segment == u".") {
            // doubled separator or "this folder"
        } else if (segment == u"..") {
            if (!segments.empty() && segments.back() != u"..") {
                segments.pop_back();
            } else if (root.empty()) {
                segments.push_back(segment);  // a relative path may climb; a rooted one may not
            }
        } else {
            segments.push_back(std::move(segment));
        }
        i = j + 1;
    }
    std::u16string out = root;
    for (size_t k = 0; k < segments.size(); ++k) {
        if (k > 0) {
            out += sep;
        }
        out += segments[k];
    }
    return out;
}

}  // namespace

CStringW MakePath(CStringW dir, CStringW name, char16_t sep) {
    const std::u16string& d = dir.str();
    std::u16string n = name.str();
    if (d.empty()) {
        return name;
    }
    const bool dirEnds = IsSlash(d.back());
    const bool nameStarts = !n.empty() && IsSlash(n.front());
    if (dirEnds && nameStarts) {
        n.erase(0, 1);
    }
    std::u16string out = d;
    if (!dirEnds && !nameStarts) {
        out += sep;
    }
    out += n;
    return CStringW(std::move(out));
}

CStringW GetFilename(CStringW path) {
    const std::u16string& p = path.str();
    for (size_t i = p.size(); i > 0; --i) {
        if (IsSlash(p[i - 1])) {
            return CStringW(p.substr(i));
        }
    }
    return path;
}

CStringW RemoveExtension(CStringW path) {
    const std::u16string& p = path.str();
    for (size_t i = p.size(); i > 0; --i) {
        const char16_t c = p[i - 1];
        if (IsSlash(c)) {
            break;
        }
        if (c == u'.') {
            const bool startsComponent = i == 1 || IsSlash(p[i - 2]);
            if (startsComponent) {
                break;
            }
            return CStringW(p.substr(0, i - 1));
        }
    }
    return path;
}

CStringW ChangeExtension(CStringW path, CStringW ext) {
    CStringW out = RemoveExtension(std::move(path));
    if (!ext.empty() && ext[0] != u'.') {
        out += u'.';
    }
    out += ext;
    return out;
}

CStringW ExpandRelativePath(CStringW base, CStringW path, char16_t sep) {
    const std::u16string& p = path.str();
    if (RootLength(p, sep) > 0) {
        return CStringW(Normalise(p, sep));
    }
    std::u16string b = base.str();
    if (RootLength(b, sep) == 0) {
        b.insert(b.begin(), sep);
    }
    return CStringW(Normalise(b + sep + p, sep));
}

bool WildcardMatch(CStringW pattern, CStringW text) {
    const std::u16string& p = pattern.str();
    const std::u16string& t = text.str();
    // Greedy scan that backtracks only to the last '*': linear in practice, never exponential.
    size_t pi = 0, ti = 0;
    size_t starP = std::u16string::npos, starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p[pi] == u'*') {
            starP = pi++;
            starT = ti;
            continue;
        }
        if (pi < p.size() && p[pi] == u'?') {
            ++pi;
            ti +=
                (IsHighSurrogate(t[ti]) && ti + 1 < t.size() && IsLowSurrogate(t[ti + 1])) ? 2 : 1;
            continue;
        }
        if (pi < p.size() && FoldAscii(p[pi]) == FoldAscii(t[ti])) {
            ++pi;
            ++ti;
            continue;
        }
        if (starP == std::u16string::npos) {
            return false;
        }
        // Let the last '*' swallow one more character and retry from there.
        pi = starP + 1;
        ++starT;
        if (starT < t.size() && IsLowSurrogate(t[starT]) && IsHighSurrogate(t[starT - 1])) {
            ++starT;
        }
        ti = starT;
    }
    while (pi < p.size() && p[pi] == u'*') {
        ++pi;
    }
    return pi == p.size();
}

}  // namespace path
}  // namespace zel
