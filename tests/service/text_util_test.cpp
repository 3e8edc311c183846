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
    const std::string longText(5000, 'q');  // longer than any first guess at the size
    EXPECT_EQ(formatString("<%s>", longText.c_str()), "<" + longText + ">");
}

TEST(TextUtilTest, ToWideConvertsUtf8) {
    const struct {
        const char* utf8;
        std::u16string wide;
    } cases[] = {
        {nullptr, u""},
        {"", u""},
        {"\\\\.\\pipe\\x", u"\\\\.\\pipe\\x"},
        {"\xC3\xA4\xE2\x82\xAC", u"\u00E4\u20AC"},  // two- and three-byte forms
        {"a\xF0\x9D\x84\x9E!", u"a\U0001D11E!"},    // four bytes: a surrogate pair
        {"a\xFF!", u"a\uFFFD!"},                    // malformed byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8 ? c.utf8 : "(null)");
        EXPECT_EQ(toWide(c.utf8), c.wide);
    }
}

}  // namespace
}  // namespace zel::vem
