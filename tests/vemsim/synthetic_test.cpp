// Tests of the simulated drive's documented functions: synthetic pixels and frame times, time
// stamps.
#include <gtest/gtest.h>

#include <vector>

#include "suite/datetime.h"
#include "tools/vemsim/faults.h"
#include "tools/vemsim/sim_time.h"
#include "tools/vemsim/synthetic.h"

using namespace zel::vem;
using namespace zel::vem::sim;

// Values worked out by hand (and, for the huge numbers, with unbounded integers) from the
// formula in synthetic.h, so the implementation is checked against the documentation.
TEST(Synthetic, PixelsFollowTheDocumentedFormula) {
    struct Case {
        uint64_t n, f;
        uint32_t x, y, w, h;
        uint16_t expected;
    };
    const Case cases[] = {
        {1, 0, 0, 0, 64, 48, 255 * 256 + 31},              // inside the square at the origin
        {1, 0, 10, 3, 64, 48, 29 * 256 + 140},             // stripes
        {2, 5, 20, 12, 64, 48, 255 * 256 + 132},           // square moved to (15, 10)
        {0, 21, 0, 44, 64, 48, 255 * 256 + 175},           // square wrapped round both edges
        {0, 21, 0, 40, 64, 48, 0},                         // ... and just outside it
        {0, (uint64_t{1} << 40) + 3, 1, 1, 16, 16, 3682},  // frame numbers beyond 32 bits
        {(uint64_t{1} << 63) + 5, uint64_t{1} << 50, 3, 2, 16, 16, 21907},
        {7, 3, 0, 0, 1, 1, 255 * 256 + (15 + 217) % 251},  // a 1 x 1 frame is all square
    };
    for (const Case& c : cases) {
        const uint16_t got = syntheticPixel(c.n, c.f, c.x, c.y, c.w, c.h);
        if (c.expected != 0) {
            EXPECT_EQ(got, c.expected) << "n=" << c.n << " f=" << c.f << " x=" << c.x;
        } else {
            EXPECT_NE(got >> 8, 255) << "n=" << c.n << " f=" << c.f << " x=" << c.x;
        }
    }
}

TEST(Synthetic, RendersLittleEndianRowsAndFramesThatDiffer) {
    const uint32_t w = 5, h = 3;
    std::vector<uint8_t> a(w * h * 2), b(w * h * 2);
    renderSyntheticFrame(4, 9, w, h, a.data());
    renderSyntheticFrame(4, 10, w, h, b.data());
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = (y * w + x) * 2;
            EXPECT_EQ(a[i] | (a[i + 1] << 8), syntheticPixel(4, 9, x, y, w, h));
        }
    }
    EXPECT_NE(a, b);
}

TEST(Synthetic, FrameTimesStartAtTheDocumentedInstant) {
    // 2024-02-14 09:30:00.250 UTC in ticks since 1601, computed independently.
    EXPECT_EQ(syntheticRecordingTime(0), 133523766002500000LL);
    EXPECT_EQ(syntheticRecordingTime(3), 133523766002500000LL + 3 * 3600 * kTicksPerSecond);
    EXPECT_EQ(syntheticRecordingTime(100003), syntheticRecordingTime(3));
    EXPECT_EQ(syntheticFrameTime(3, 10), syntheticRecordingTime(3) + 10 * 83330);
    const zel::file::SInfoBlock block = syntheticInfoBlock(2, 8, 4, 3);
    EXPECT_EQ(block.frameBytes(), 64u);
    ASSERT_EQ(block.frameCount(), 3u);
    EXPECT_EQ(block.recordingTime, syntheticRecordingTime(2));
    EXPECT_EQ(block.frameTimes[2], syntheticFrameTime(2, 2));
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
        bool ok;
        FaultKind kind;
        int ord;
        uint32_t count, ms;
    };
    const Case cases[] = {
        {"error", true, FaultKind::Error, kAnyOrd, 1, 0},
        {"drop ord=6 count=3", true, FaultKind::Drop, 6, 3, 0},
        {"delay ms=250 ord=ver", true, FaultKind::Delay, -1, 1, 250},
        {"exit", true, FaultKind::Exit, kAnyOrd, 1, 0},
        {"delay", false, FaultKind::Error, 0, 0, 0},
        {"error count=0", false, FaultKind::Error, 0, 0, 0},
        {"error ord=-1", false, FaultKind::Error, 0, 0, 0},
        {"error ord", false, FaultKind::Error, 0, 0, 0},
        {"error speed=3", false, FaultKind::Error, 0, 0, 0},
        {"explode", false, FaultKind::Error, 0, 0, 0},
        {"", false, FaultKind::Error, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Fault fault;
        std::string error;
        ASSERT_EQ(parseFault(c.text, fault, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(fault.kind, c.kind);
            EXPECT_EQ(fault.ord, c.ord);
            EXPECT_EQ(fault.remaining, c.count);
            EXPECT_EQ(fault.ms, c.ms);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(Faults, ArmedFaultsAreUsedUpInOrder) {
    FaultPlan plan;
    Fault fault;
    parseFault("error ord=6 count=2", fault, nullptr);
    plan.arm(fault);
    parseFault("garbage", fault, nullptr);
    plan.arm(fault);
    Fault taken;
    ASSERT_TRUE(plan.take(6, taken));
    EXPECT_EQ(taken.kind, FaultKind::Error);
    ASSERT_TRUE(plan.take(1, taken));  // the ord-6 fault does not match; the catch-all does
    EXPECT_EQ(taken.kind, FaultKind::Garbage);
    ASSERT_TRUE(plan.take(6, taken));
    EXPECT_EQ(taken.kind, FaultKind::Error);
    EXPECT_FALSE(plan.take(6, taken));
    EXPECT_EQ(plan.armedCount(), 0u);
}
