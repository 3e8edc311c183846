// Tests of UTF-8/UTF-16 conversion and the narrow and wide strings.
#include <gtest/gtest.h>

#include <string>

#include "suite/strings.h"
#include "suite/utf.h"

namespace zel {
namespace {

struct Utf8Case {
    const char* what;
    std::string utf8;
    std::u16string utf16;
};

// Valid text: must round-trip both ways exactly.
const Utf8Case kValid[] = {
    {"empty", "", u""},
    {"ascii", "12-run_a", u"12-run_a"},
    {"two-byte", "caf\xC3\xA9", u"caf\u00E9"},
    {"three-byte", "\xE6\xB8\xAC\xE5\xAE\x9A", u"\u6E2C\u5B9A"},
    {"surrogate pair", "\xF0\x9F\x98\x80x", u"\U0001F600x"},
    {"highest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
};

TEST(SuiteUtf, ValidTextRoundTrips) {
    for (const auto& c : kValid) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.what;
        EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.what;
    }
}

// Malformed UTF-8: each maximal bad subpart becomes one U+FFFD, the rest survives.
const Utf8Case kBadUtf8[] = {
    {"lone continuation", "a\x80z", u"a\uFFFDz"},
    {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD"},
    {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
    {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"truncated at end", "ab\xE6\xB8", u"ab\uFFFD"},
    {"truncated before ascii", "\xF0\x9F\x98z", u"\uFFFDz"},
};

TEST(SuiteUtf, MalformedTextBecomesReplacement) {
    for (const auto& c : kBadUtf8) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.what;
    }
    // Unpaired surrogates: alone, low first, high followed by a non-surrogate.
    const Utf8Case unpaired[] = {
        {"lone high", u8"\uFFFD", std::u16string(1, char16_t(0xD83D))},
        {"low first", u8"\uFFFDa", std::u16string{char16_t(0xDE00), u'a'}},
        {"high then ascii", u8"\uFFFDa", std::u16string{char16_t(0xD83D), u'a'}},
    };
    for (const auto& c : unpaired) {
        EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.what;
    }
}

TEST(SuiteStrings, WideFromUtf8WithLengthAndBack) {
    const char* text = "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 tail";
    const CStringW all(text);
    EXPECT_EQ(all.length(), 11u);  // the emoji counts two units
    EXPECT_EQ(all.str(), u"\u00E9t\u00E9 \U0001F600 tail");
    EXPECT_EQ(all.ToUtf8(), CString(text));
    EXPECT_EQ(CStringW(text, 5).str(), u"\u00E9t\u00E9");  // bytes, not characters
    EXPECT_TRUE(CStringW(static_cast<const char*>(nullptr)).empty());
    EXPECT_EQ(CStringW(u"abcdef", 3).str(), u"abc");
}

TEST(SuiteStrings, WideSearchAndSlices) {
    const CStringW s(u"/12-run_a:info");
    EXPECT_EQ(s.find(u'-'), 3u);
    EXPECT_EQ(s.find(CStringW(u"run")), 4u);
    EXPECT_EQ(s.find(u'/', 1), CStringW::npos);
    EXPECT_EQ(s.substr(1, 2), CStringW(u"12"));
    EXPECT_EQ(s.substr(99), CStringW());
}

TEST(SuiteStrings, WidePrefixSuffixAndEquality) {
    const CStringW s(u"vem:///12-run_a:INFO");
    EXPECT_TRUE(s.StartsWith(u"vem://"));
    EXPECT_FALSE(s.StartsWith(u"VEM://"));
    EXPECT_TRUE(s.StartsWith(CStringW()));
    EXPECT_FALSE(CStringW(u"ve").StartsWith(u"vem"));
    EXPECT_TRUE(s.EndsWithNoCase(u":InFo"));
    EXPECT_FALSE(s.EndsWithNoCase(u"xinfo"));
    EXPECT_FALSE(CStringW(u"nfo").EndsWithNoCase(u":info"));
    // Only ASCII folds: U+00C9 and U+00E9 stay different.
    EXPECT_FALSE(CStringW(u"caf\u00C9").EndsWithNoCase(u"caf\u00E9"));
    EXPECT_TRUE(CStringW(u"run_a").Equals(u"run_a"));
    EXPECT_FALSE(CStringW(u"run_a").Equals(u"Run_a"));
    EXPECT_EQ(CStringW(u"/") + u"12-run_a", CStringW("/12-run_a"));
}

TEST(SuiteStrings, NarrowFormatAndCompare) {
    CString s("old text");
    s.Format("%llu-%s", 12ULL, "run_a");
    EXPECT_EQ(s, CString("12-run_a"));
    EXPECT_EQ(CString::FromFormat("%03d:%02d", 5, 7), CString("005:07"));
    // Longer than any small fixed buffer.
    EXPECT_EQ(CString::FromFormat("%s", std::string(1000, 'x').c_str()).length(), 1000u);
    EXPECT_EQ(CString("abcdef", 2), CString("ab"));
    EXPECT_TRUE(CString(nullptr).empty());
}

}  // namespace
}  // namespace zel
