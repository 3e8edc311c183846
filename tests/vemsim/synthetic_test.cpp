// Tests of the simulated drive's documented functions: synthetic pixels and frame times, time
// stamps, faults.
#include <gtest/gtest.h>

#include <vector>

#include "suite/datetime.h"
#include "tools/vemsim/faults.h"
#include "tools/vemsim/movies.h"
#include "tools/vemsim/sim_time.h"
#include "tools/vemsim/synthetic.h"

using namespace zel::vem;
using namespace zel::vem::sim;

// Values worked out by hand (and, for the huge numbers, with unbounded integers) from the
// formula in synthetic.h, so the implementation is checked against the documentation. Each is
// checked both alone and in the little-endian bytes of the whole rendered frame.
TEST(Synthetic, PixelsFollowTheDocumentedFormula) {
    struct Case {
        uint64_t n, f;
        uint32_t x, y, w, h;
        int expected;  // -1: anything outside the square
    };
    const Case cases[] = {
        {1, 0, 0, 0, 64, 48, 255 * 256 + 31},              // inside the square at the origin
        {1, 0, 10, 3, 64, 48, 29 * 256 + 140},             // stripes
        {2, 5, 20, 12, 64, 48, 255 * 256 + 132},           // square moved to (15, 10)
        {0, 21, 0, 44, 64, 48, 255 * 256 + 175},           // square wrapped round both edges
        {0, 21, 0, 40, 64, 48, -1},                        // ... and just outside it
        {0, (uint64_t{1} << 40) + 3, 1, 1, 16, 16, 3682},  // frame numbers beyond 32 bits
        {(uint64_t{1} << 63) + 5, uint64_t{1} << 50, 3, 2, 16, 16, 21907},
        {7, 3, 0, 0, 1, 1, 255 * 256 + (15 + 217) % 251},  // a 1 x 1 frame is all square
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "n=" << c.n << " f=" << c.f << " x=" << c.x);
        const uint16_t pixel = syntheticPixel(c.n, c.f, c.x, c.y, c.w, c.h);
        if (c.expected >= 0) {
            EXPECT_EQ(pixel, c.expected);
        } else {
            EXPECT_NE(pixel >> 8, 255);
        }
        std::vector<uint8_t> frame(size_t{c.w} * c.h * 2);
        renderSyntheticFrame(c.n, c.f, c.w, c.h, frame.data());
        const size_t at = (size_t{c.y} * c.w + c.x) * 2;
        EXPECT_EQ(frame[at] | frame[at + 1] << 8, pixel);
    }
}

TEST(Synthetic, FrameTimesStartAtTheDocumentedInstant) {
    // 2024-02-14 09:30:00.250 UTC in ticks since 1601, computed independently.
    constexpr int64_t kStart = 133523766002500000LL, kHour = 3600 * kTicksPerSecond;
    EXPECT_EQ(syntheticRecordingTime(0), kStart);
    EXPECT_EQ(syntheticRecordingTime(3), kStart + 3 * kHour);
    EXPECT_EQ(syntheticRecordingTime(100003), kStart + 3 * kHour);  // hours restart at 100000
    EXPECT_EQ(syntheticFrameTime(3, 10), kStart + 3 * kHour + 10 * 83330);
}

TEST(SimTime, TicksBecomeDayOfYearAndTimeOfDay) {
    auto ticks = [](int y, int mo, int d, int h, int mi, int s, int us) {
        return zel::CDateTime::FromDate(y, mo, d, h, mi, s, us).GetTimestamp(0);
    };
    struct Case {
        int64_t ticks;
        const char* text;
    };
    const Case cases[] = {
        {ticks(2024, 2, 14, 9, 30, 0, 250000), "045:09:30:00.250000"},
        {ticks(2024, 12, 31, 23, 59, 59, 999999), "366:23:59:59.999999"},  // leap year
        {ticks(2023, 12, 31, 0, 0, 0, 1), "365:00:00:00.000001"},
        {ticks(2000, 3, 1, 12, 0, 0, 0), "061:12:00:00.000000"},  // 2000 is a leap year
        {ticks(2100, 3, 1, 12, 0, 0, 0), "060:12:00:00.000000"},  // 2100 is not
        {0, "001:00:00:00.000000"},
        {-5, "001:00:00:00.000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatIrigTime(irigTimeFromTicks(c.ticks)), c.text);
        EXPECT_EQ(FormatIrigTime(DecodeIrigTime(irigFromTicks(c.ticks))), c.text);
    }
    EXPECT_EQ(unixSecondsFromTicks(ticks(1970, 1, 1, 0, 0, 0, 0)), 0u);
    EXPECT_EQ(unixSecondsFromTicks(ticks(2024, 2, 14, 9, 30, 0, 250000)), 1707903000u);
    EXPECT_EQ(unixSecondsFromTicks(ticks(1969, 12, 31, 23, 59, 59, 0)), 0u);
    EXPECT_EQ(unixSecondsFromTicks(ticks(2107, 1, 1, 0, 0, 0, 0)), 0xFFFFFFFFu);
}

TEST(Faults, ParseTheControlSyntax) {
    struct Case {
        const char* text;
        FaultKind kind;
        int ord;
        uint32_t count, ms;
    };
    const Case cases[] = {
        {"error", FaultKind::Error, kAnyOrd, 1, 0},
        {"drop ord=6 count=3", FaultKind::Drop, 6, 3, 0},
        {"delay ms=250 ord=ver", FaultKind::Delay, -1, 1, 250},
        {"exit", FaultKind::Exit, kAnyOrd, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Fault fault;
        std::string error;
        ASSERT_TRUE(parseFault(c.text, fault, &error)) << error;
        EXPECT_EQ(fault.kind, c.kind);
        EXPECT_EQ(fault.ord, c.ord);
        EXPECT_EQ(fault.remaining, c.count);
        EXPECT_EQ(fault.ms, c.ms);
    }
    for (const char* bad :
         {"delay", "error count=0", "error ord=-1", "error ord", "error speed=3", "explode", ""}) {
        SCOPED_TRACE(bad);
        Fault fault;
        std::string error;
        EXPECT_FALSE(parseFault(bad, fault, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Faults, ArmedFaultsAreUsedUpInOrder) {
    FaultPlan plan;
    Fault fault;
    parseFault("error ord=6 count=2", fault, nullptr);
    plan.arm(fault);
    parseFault("garbage", fault, nullptr);
    plan.arm(fault);
    // The ord-6 fault does not match ord 1; the catch-all armed after it does.
    for (auto [ord, kind] : {std::pair{6, FaultKind::Error}, std::pair{1, FaultKind::Garbage},
                             std::pair{6, FaultKind::Error}}) {
        Fault taken;
        ASSERT_TRUE(plan.take(ord, taken));
        EXPECT_EQ(taken.kind, kind);
    }
    EXPECT_FALSE(plan.take(6, fault));
    EXPECT_EQ(plan.armedCount(), 0u);
}

// A name the library could not address, or that would reach a terminal as a control, is refused
// when the movie is made.
TEST(MovieNames, OnlyPrintableUtf8WithoutSeparators) {
    struct Case {
        const char* name;
        bool valid;
    } cases[] = {
        {"run_a", true},
        {"Zelle \xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x94\xAC", true},
        {"a\xC2\xA0"
         "b",
         true},
        {"a\xC2\x85"
         "b",
         false},  // U+00A0 kept; U+0085 (NEL) not
        {"a\xC2\x9F", false},
        {"a\x7F", false},
        {"a\nb", false},
        {"a\x1B[2J", false},
        {"a\xE2\x80\xA8", false},
        {"a\xE2\x80\xA9", false},
        {"a\xFF", false},
        {"a\xC3", false},  // not UTF-8, cut short
        {"\xC0\xAF", false},
        {"\xED\xA0\x80", false},      // overlong '/', a surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"a/b", false},
        {"a\\b", false},
        {"a:b", false},
        {"..", false},
        {"", false},
        {"123456789012345678901234567890123456789012345678901234567890123", true},
        {"1234567890123456789012345678901234567890123456789012345678901234", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(validMovieName(c.name), c.valid) << c.name;
    }
}
