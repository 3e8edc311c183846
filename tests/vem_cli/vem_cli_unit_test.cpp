// vem's own rules: frame ranges, sizes and the progress line.
#include <gtest/gtest.h>

#include "entry_format.h"
#include "frames.h"
#include "registry.h"

namespace {

TEST(FrameRangeTest, SlicesOfTwelveFrames) {
    struct Case {
        const char* text;
        uint64_t first, end, step, count;  // count 0: refused
    } cases[] = {
        {"", 0, 12, 1, 12},
        {"0:12", 0, 12, 1, 12},
        {"2:5", 2, 5, 1, 3},
        {":4", 0, 4, 1, 4},
        {"10:", 10, 12, 1, 2},
        {"::5", 0, 12, 5, 3},
        {"1:12:5", 1, 12, 5, 3},
        {"11:12", 11, 12, 1, 1},
        {"0:13", 0, 0, 0, 0},
        {"5:5", 0, 0, 0, 0},
        {"6:2", 0, 0, 0, 0},
        {"0:4:0", 0, 0, 0, 0},
        {"3", 0, 0, 0, 0},
        {"1:2:3:4", 0, 0, 0, 0},
        {"-1:4", 0, 0, 0, 0},
        {"a:b", 0, 0, 0, 0},
        {"99999999999999999999:1", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        if (c.count == 0) {
            EXPECT_THROW(vemcli::parseFrameRange(c.text, 12), vemcli::Failure) << c.text;
            continue;
        }
        vemcli::FrameRange r = vemcli::parseFrameRange(c.text, 12);
        EXPECT_EQ(r.first, c.first) << c.text;
        EXPECT_EQ(r.end, c.end) << c.text;
        EXPECT_EQ(r.step, c.step) << c.text;
        EXPECT_EQ(r.count(), c.count) << c.text;
    }
}

TEST(HumanSizeTest, NeverReadsSmallerThanItIs) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0"},
        {1023, "1023"},
        {1024, "1.0K"},
        {1025, "1.1K"},
        {10 * 1024 - 1, "10K"},
        {1048575, "1.0M"},
        {73728, "72K"},
        {1048576, "1.0M"},
        {147456000, "141M"},
        {uint64_t{5} << 40, "5.0T"},
        {UINT64_MAX, "16E"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vemcli::humanSize(c.bytes), c.text) << c.bytes;
    }
}

TEST(StretchTest, MapsMinAndMaxToTheFullRange) {
    vemcli::GrayImage image{3, 1, {100, 150, 200}};
    vemcli::stretch(image);
    EXPECT_EQ(image.pixels, (std::vector<uint16_t>{0, 32768, 65535}));
    vemcli::GrayImage flat{2, 1, {7, 7}};
    vemcli::stretch(flat);
    EXPECT_EQ(flat.pixels, (std::vector<uint16_t>{7, 7}));
}

}  // namespace
