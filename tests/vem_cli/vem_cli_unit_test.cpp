// vem's own rules: frame ranges, names, sizes and the progress line.
#include <gtest/gtest.h>

#include "display_text.h"
#include "entry_format.h"
#include "frames.h"
#include "movie_names.h"
#include "registry.h"

namespace {

TEST(FrameRangeTest, SlicesOfTwelveFrames) {
    enum Outcome { Ok, Usage, Outside };
    struct Case {
        const char* text;
        Outcome outcome;
        uint64_t first, end, step, count;
    } cases[] = {
        {"", Ok, 0, 12, 1, 12},
        {"0:12", Ok, 0, 12, 1, 12},
        {"2:5", Ok, 2, 5, 1, 3},
        {":4", Ok, 0, 4, 1, 4},
        {"10:", Ok, 10, 12, 1, 2},
        {"::5", Ok, 0, 12, 5, 3},
        {"1:12:5", Ok, 1, 12, 5, 3},
        {"11:12", Ok, 11, 12, 1, 1},
        {"3", Ok, 3, 4, 1, 1},
        {"-1", Ok, 11, 12, 1, 1},
        {"-12", Ok, 0, 1, 1, 1},
        {"-3:", Ok, 9, 12, 1, 3},
        {":-10", Ok, 0, 2, 1, 2},
        {"-12:-1:4", Ok, 0, 11, 4, 3},
        {"0:13", Outside, 0, 0, 0, 0},
        {"12", Outside, 0, 0, 0, 0},
        {"-13", Outside, 0, 0, 0, 0},
        {"-13:5", Outside, 0, 0, 0, 0},
        {"5:5", Usage, 0, 0, 0, 0},
        {"6:2", Usage, 0, 0, 0, 0},
        {"-1:-2", Usage, 0, 0, 0, 0},
        {"12:", Usage, 0, 0, 0, 0},
        {"0:4:0", Usage, 0, 0, 0, 0},
        {"0:4:-1", Usage, 0, 0, 0, 0},
        {"1:2:3:4", Usage, 0, 0, 0, 0},
        {"a:b", Usage, 0, 0, 0, 0},
        {"--1:4", Usage, 0, 0, 0, 0},
        {"-", Usage, 0, 0, 0, 0},
        {"99999999999999999999:1", Usage, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        if (c.outcome == Usage) {
            EXPECT_THROW(vemcli::parseFrameRange(c.text, 12), vemcli::UsageFailure) << c.text;
            continue;
        }
        if (c.outcome == Outside) {
            try {
                vemcli::parseFrameRange(c.text, 12);
                ADD_FAILURE() << c.text << " was accepted";
            } catch (const vemcli::UsageFailure&) {
                ADD_FAILURE() << c.text << " is no usage error: it depends on the movie";
            } catch (const vemcli::Failure&) {
            }
            continue;
        }
        vemcli::FrameRange r = vemcli::parseFrameRange(c.text, 12);
        EXPECT_EQ(r.first, c.first) << c.text;
        EXPECT_EQ(r.end, c.end) << c.text;
        EXPECT_EQ(r.step, c.step) << c.text;
        EXPECT_EQ(r.count(), c.count) << c.text;
    }
    // A movie without frames has nothing to select, whatever is asked.
    EXPECT_THROW(vemcli::parseFrameRange("", 0), vemcli::Failure);
    EXPECT_THROW(vemcli::parseFrameNumber("0", 0), vemcli::Failure);
    EXPECT_EQ(vemcli::parseFrameNumber("-12", 12), 0u);
}

// Names from the drive reach a terminal only as text: controls of both ranges, the separators
// and bytes that are not UTF-8 become escapes; letters of every language stay.
TEST(DisplayTextTest, NothingActsOnTheTerminal) {
    struct Case {
        const char* text;
        const char* shown;
        const char* json;  // the JSON string of the text
    } cases[] = {
        {"run_a", "run_a", "\"run_a\""},
        {"caf\xC3\xA9", "caf\xC3\xA9", "\"caf\\u00e9\""},
        {"a\nb\tc\r", "a\\nb\\tc\\r", "\"a\\nb\\tc\\r\""},
        {"\x1B[2J\x7F", "\\x1b[2J\\x7f", "\"\\u001b[2J\\u007f\""},
        {"a\xC2\x85"
         "b\xC2\x9B",
         "a\\u0085b\\u009b", "\"a\\u0085b\\u009b\""},
        {"\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029", "\"\\u2028\\u2029\""},
        {"a\xFF\xC3", "a\\xff\\xc3", nullptr},
        {"\xC0\xAF", "\\xc0\\xaf", nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vemcli::displayText(c.text), c.shown) << c.text;
        if (c.json != nullptr) {
            EXPECT_EQ(vemcli::jsonText(c.text), c.json) << c.text;
        }
    }
    // Bytes that are not UTF-8 do not stop the JSON output; they become U+FFFD.
    EXPECT_EQ(vemcli::jsonText(nlohmann::ordered_json{{"name", "a\xFF"}}),
              "{\"name\":\"a\\ufffd\"}");
}

TEST(MovieNamesTest, RecordedNamesAndCloseMatches) {
    const std::vector<std::string> entries = {"6-bigrun", "7-run_a", "8-run_b",
                                              "9-run_a",  "12-x",    "loose"};
    struct Case {
        const char* typed;
        const char* resolved;  // for reading
        std::vector<std::string> close;
    } cases[] = {
        {"6-bigrun", "6-bigrun", {"6-bigrun"}},
        {"bigrun", "6-bigrun", {"6-bigrun"}},
        {"run_b", "8-run_b", {"8-run_b", "7-run_a", "9-run_a"}},
        {"run_a", "", {"7-run_a", "9-run_a", "8-run_b"}},  // two movies: the entry decides
        {"5-bigrun", "", {"6-bigrun"}},
        {"bigrnu", "", {"6-bigrun"}},
        {"BIGRUN", "", {"6-bigrun"}},
        {"x", "12-x", {"12-x"}},
        {"loose", "loose", {"loose"}},
        {"zzzzzzzzzz", "", {}},
        {"loo", "", {"loose"}},
        {"6-bigr", "", {"6-bigrun"}},
        {"", "", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vemcli::resolveEntryName(c.typed, entries), c.resolved) << c.typed;
        EXPECT_EQ(vemcli::closeNames(c.typed, entries), c.close) << c.typed;
    }
    EXPECT_EQ(vemcli::didYouMean({"6-bigrun"}), " (did you mean 6-bigrun?)");
    EXPECT_EQ(vemcli::didYouMean({"a", "b", "c"}), " (did you mean a, b or c?)");
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
