// Tests of the text helpers of the service link: formatting and UTF-16 conversion.
#include <gtest/gtest.h>

#include <string>

#include "service/text_util.h"

namespace zel::vem {
namespace {

TEST(TextUtilTest, FormatStringFormatsToExactLength) {
    EXPECT_EQ(formatString("ConnectNamedPipe failed, GetLastError() = %u.", 232u),
              "ConnectNamedPipe failed, GetLastError() = 232.");
    EXPECT_EQ(formatString("%s%X", "Global\\p", 0x7FFFu), "Global\\p7FFF");
    EXPECT_EQ(formatString("%s", ""), "");
    const std::string longText(5000, 'q');
    const std::string formatted = formatString("<%s>", longText.c_str());
    EXPECT_EQ(formatted, "<" + longText + ">");
    EXPECT_EQ(formatted.size(), 5002u);
}

TEST(TextUtilTest, ToWideConvertsUtf8) {
    const struct {
        const char* utf8;
        std::u16string wide;
    } cases[] = {
        {"", u""},
        {"zelvemsvc", u"zelvemsvc"},
        {"\\\\.\\pipe\\x", u"\\\\.\\pipe\\x"},
        {"\xC3\xA4\xE2\x82\xAC", u"\u00E4\u20AC"},  // two- and three-byte forms
        {"a\xF0\x9D\x84\x9E"
         "b",
         u"a\U0001D11Eb"},  // four bytes: a surrogate pair
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toWide(c.utf8), c.wide) << c.utf8;
    }
    EXPECT_EQ(toWide(nullptr), u"");
}

TEST(TextUtilTest, ToWideReplacesMalformedBytes) {
    const std::u16string wide = toWide(
        "a\xFF"
        "b");
    ASSERT_GE(wide.size(), 3u);
    EXPECT_EQ(wide.front(), u'a');
    EXPECT_EQ(wide.back(), u'b');
    EXPECT_NE(wide.find(u'\uFFFD'), std::u16string::npos);
}

}  // namespace
}  // namespace zel::vem
