// Tests of CDateTime and the decimal number helpers.
#include <gtest/gtest.h>

#include <cstdint>

#include "suite/datetime.h"
#include "suite/numbers.h"

namespace zel {
namespace {

TEST(SuiteDateTime, FormatFields) {
    const struct {
        CDateTime time;
        const char *format, *text;
    } table[] = {
        {CDateTime::FromDate(2024, 2, 14, 13, 7, 9, 123456), "%j:%(irig)", "045:13:07:09.123.456"},
        {CDateTime::FromDate(2024, 12, 31, 23, 59, 59, 999999), "%j", "366"},  // leap year
        {CDateTime::FromDate(2023, 12, 31), "%j", "365"},
        {CDateTime::FromDate(1970, 1, 1), "%Y-%m-%d %H:%M:%S", "1970-01-01 00:00:00"},
        {CDateTime(), "%Y-%m-%d %j", "1601-01-01 001"},
        {CDateTime::FromDate(2000, 2, 29, 1, 2, 3), "%d/%m/%Y %%", "29/02/2000 %"},
        {CDateTime::FromDate(2024, 1, 1, 0, 0, 0, 5), "%(irig)", "00:00:00.000.005"},
        {CDateTime::FromDate(2024, 1, 1), "%q %(x) 100%", "%q %(x) 100%"},  // kept as written
        {CDateTime::FromUnixSeconds(1700000000), "%Y-%m-%dT%H:%M:%S", "2023-11-14T22:13:20"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.time.Format(row.format), CString(row.text)) << row.format;
    }
}

TEST(SuiteDateTime, TimestampKinds) {
    // rtcTime seconds since 1970 moved to 1601 ticks, as the drive's entries do.
    const long long rtc = 1700000000;
    const CDateTime t = CDateTime::NewTimestamp((rtc + 11644473600LL) * 10000000LL, 0);
    EXPECT_EQ(t, CDateTime::FromUnixSeconds(rtc));
    const struct {
        long long value;
        int kind;
        long long ticks, micro;
    } table[] = {
        {10, 0, 10, 1},
        {19, 0, 19, 1},  // kind 1 truncates
        {-19, 0, -19, -1},
        {5, 1, 50, 5},
        {133444736000000000LL, 0, 133444736000000000LL, 13344473600000000LL},
        {7, 42, 7, 0},  // unknown kind reads as ticks
    };
    for (const auto& row : table) {
        const CDateTime d = CDateTime::NewTimestamp(row.value, row.kind);
        EXPECT_EQ(d.GetTimestamp(0), row.ticks) << row.value << "/" << row.kind;
        EXPECT_EQ(d.GetTimestamp(1), row.micro) << row.value << "/" << row.kind;
        EXPECT_EQ(d.GetTimestamp(42), row.ticks);
    }
}

TEST(SuiteDateTime, DifferenceIsASpan) {
    const CDateTime start = CDateTime::FromDate(2024, 2, 14, 13, 7, 9, 123456);
    const CDateTime end = CDateTime::FromDate(2024, 2, 14, 13, 8, 10, 123457);
    EXPECT_EQ((end - start).GetTimestamp(1), 61000001LL);
    EXPECT_EQ((start - end).GetTimestamp(1), -61000001LL);
    EXPECT_EQ(start + (end - start), end);
}

TEST(SuiteNumbers, ParseTable) {
    const struct {
        const char* text;
        bool ok16, ok32, ok64;
        uint64_t value;  // when ok
    } table[] = {
        {"0", true, true, true, 0},
        {"00042", true, true, true, 42},
        {"65535", true, true, true, 65535},
        {"65536", false, true, true, 65536},
        {"4294967295", false, true, true, 4294967295ULL},
        {"4294967296", false, false, true, 4294967296ULL},
        {"18446744073709551615", false, false, true, 18446744073709551615ULL},
        {"18446744073709551616", false, false, false, 0},
        {"99999999999999999999999", false, false, false, 0},
        {"", false, false, false, 0},
        {"-1", false, false, false, 0},
        {"+1", false, false, false, 0},
        {" 1", false, false, false, 0},
        {"1 ", false, false, false, 0},
        {"12a", false, false, false, 0},
        {"0x10", false, false, false, 0},
    };
    for (const auto& row : table) {
        bool ok16 = !row.ok16, ok32 = !row.ok32, ok64 = !row.ok64;
        const uint16_t v16 = CUInt16::Parse(row.text, &ok16);
        const uint32_t v32 = CUInt32::Parse(row.text, &ok32);
        const uint64_t v64 = CUInt64::Parse(row.text, &ok64);
        EXPECT_EQ(ok16, row.ok16) << row.text;
        EXPECT_EQ(ok32, row.ok32) << row.text;
        EXPECT_EQ(ok64, row.ok64) << row.text;
        EXPECT_EQ(v16, row.ok16 ? row.value : 0u) << row.text;
        EXPECT_EQ(v32, row.ok32 ? row.value : 0u) << row.text;
        EXPECT_EQ(v64, row.ok64 ? row.value : 0u) << row.text;
    }
    EXPECT_EQ(CUInt32::Parse("77"), 77u);  // ok is optional
}

TEST(SuiteNumbers, ToStringTable) {
    EXPECT_EQ(CUInt16::ToString(0), CString("0"));
    EXPECT_EQ(CUInt16::ToString(65535), CString("65535"));
    EXPECT_EQ(CUInt32::ToString(4294967295u), CString("4294967295"));
    EXPECT_EQ(CUInt64::ToString(18446744073709551615ULL), CString("18446744073709551615"));
    EXPECT_EQ(to_string(640u), CString("640"));
    EXPECT_EQ(to_string(-61000001LL), CString("-61000001"));
    EXPECT_EQ(to_string(static_cast<long long>(INT64_MIN)), CString("-9223372036854775808"));
}

}  // namespace
}  // namespace zel
