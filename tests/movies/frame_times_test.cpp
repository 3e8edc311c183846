// Frame times: blocks the reader rules accept or refuse, the frame rate rule, the text forms, and
// an irregular movie served by vemsim from an emulator folder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "movies/frame_times.h"
#include "movies/frame_times_cache.h"
#include "movies/movie_catalog.h"
#include "movies/movie_description.h"
#include "suite/file/info_block.h"
#include "tests/movies/movie_folder.h"
#include "tests/support/sim_test.h"

namespace zel::vem::test {
namespace {

constexpr int64_t kEpochTicks = 116444736000000000;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// A 4 x 2 block with these stamps (ticks).
std::vector<uint8_t> block(std::vector<int64_t> ticks) {
    file::SInfoBlock b;
    b.width = 4;
    b.height = 2;
    b.recordingTime = kEpochTicks;
    b.frameTimes = std::move(ticks);
    return file::EncodeInfoBlock(b);
}

void put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, unsigned size) {
    for (unsigned i = 0; i < size; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<int64_t> ns(std::initializer_list<int64_t> ticksSinceEpoch) {
    std::vector<int64_t> out;
    for (int64_t t : ticksSinceEpoch) {
        out.push_back(t * 100);
    }
    return out;
}

TEST(FrameTimes, BlocksGiveTheirStampsOrNoTimesAndWhy) {
    const int64_t e = kEpochTicks;
    using Edit = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Edit edit;
        std::vector<int64_t> times;  // expected when `failure` is empty
        const char* failure;         // a part of the reason
    };
    const Case cases[] = {
        {"regular", block({e, e + 83330, e + 166660}), {}, ns({0, 83330, 166660}), ""},
        {"dropped frames, repeated and backward stamps",
         block({e, e + 10, e + 40, e + 40, e + 20}),
         {},
         ns({0, 10, 40, 40, 20}),
         ""},
        {"no frames", block({}), {}, {}, ""},
        {"before 1970", block({e - 1}), {}, ns({-1}), ""},
        {"a longer header is skipped", block({e + 5}),
         [](auto& b) {
             b.insert(b.begin() + 56, 8, 0xAB);
             put(b, 10, 64, 2);
         },
         ns({5}), ""},
        {"truncated in the table",
         block({e, e}),
         [](auto& b) { b.resize(b.size() - 3); },
         {},
         "partial time stamp"},
        {"truncated in the header", block({e}), [](auto& b) { b.resize(40); }, {}, "40 bytes"},
        {"count one more than the table",
         block({e, e}),
         [](auto& b) { put(b, 24, 3, 8); },
         {},
         "announces 3 frames but holds 2"},
        {"count that would wrap around",
         block({e}),
         [](auto& b) { put(b, 24, uint64_t{1} << 61, 8); },
         {},
         "announces"},
        {"garbage", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}, {}, {}, "11 bytes"},
        {"garbage as long as a header", std::vector<uint8_t>(64, 0x5A), {}, {}, "ZVEMINFO"},
        {"version 2", block({e}), [](auto& b) { put(b, 8, 2, 2); }, {}, "version 2"},
        {"header size not a multiple of 8",
         block({e}),
         [](auto& b) { put(b, 10, 60, 2); },
         {},
         "header size of 60"},
        {"header size past the end",
         block({}),
         [](auto& b) { put(b, 10, 64, 2); },
         {},
         "inside its own header"},
        {"pixel format 2", block({e}), [](auto& b) { put(b, 12, 2, 4); }, {}, "pixel format 2"},
        {"width 0", block({e}), [](auto& b) { put(b, 16, 0, 4); }, {}, "0 x 2"},
        {"frame bytes off", block({e}), [](auto& b) { put(b, 32, 17, 8); }, {}, "byte count"},
        {"flags set", block({e}), [](auto& b) { put(b, 48, 1, 4); }, {}, "flags"},
        {"stamp of tick 0 (1601)", block({e, 0}), {}, {}, "stamps frame 1 outside"},
        {"stamp past 2262",
         block({static_cast<int64_t>(kEpochTicks + kMax / 100 + 1)}),
         {},
         {},
         "stamps frame 0 outside"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.bytes;
        if (c.edit) {
            c.edit(bytes);
        }
        const FrameTimes result = decodeFrameTimes(bytes.data(), bytes.size());
        EXPECT_EQ(result.nanoseconds, c.times) << c.what;
        EXPECT_NE(result.failure.find(c.failure), std::string::npos)
            << c.what << ": " << result.failure;
        EXPECT_EQ(result.known(), *c.failure == '\0') << c.what;
        // The imager file reads the same format: both readers take and refuse the same blocks
        // (only the time range is ours, since numpy's times stop where 64-bit nanoseconds do).
        file::SInfoBlock parsed;
        if (std::string(c.failure).find("outside") == std::string::npos) {
            EXPECT_EQ(file::ParseInfoBlock(bytes.data(), bytes.size(), parsed), result.known())
                << c.what;
        }
    }
}

TEST(FrameTimes, AreRefusedForAMovieOfAnotherLayout) {
    MovieDescription movie;
    movie.width = 4;
    movie.height = 2;
    movie.frameCount = 2;
    const std::vector<uint8_t> two = block({kEpochTicks, kEpochTicks + 1});
    EXPECT_EQ(frameTimesOf(movie, two).nanoseconds, ns({0, 1}));
    struct Case {
        uint32_t width, height;
        uint64_t frames;
    } const others[] = {{4, 2, 3}, {4, 2, 1}, {2, 4, 2}, {5, 2, 2}};
    for (const Case& c : others) {
        movie.width = c.width, movie.height = c.height, movie.frameCount = c.frames;
        const FrameTimes result = frameTimesOf(movie, two);
        EXPECT_FALSE(result.known()) << c.width << "x" << c.height << "x" << c.frames;
        EXPECT_TRUE(result.nanoseconds.empty());
        EXPECT_NE(result.failure.find("describes 2 frames of 4 x 2"), std::string::npos)
            << result.failure;
    }
}

TEST(FrameTimes, FrameRateFromTheMedianInterval) {
    const std::optional<double> none;
    const std::pair<std::vector<int64_t>, std::optional<double>> cases[] = {
        {{}, none},
        {{5}, none},
        {{0, 0}, none},                                   // the median interval is 0
        {{0, 0, 0, 10}, none},                            // ... still, most stamps repeat
        {{30, 20, 10}, none},                             // running backwards
        {{0, 8333000}, 1e9 / 8333000},                    // one interval
        {{0, 10, 30}, 1e9 / 15},                          // even count: the mean of the middle two
        {{0, 10, 30, 60}, 1e9 / 20},                      // odd count: the middle one
        {{0, 10, 20, 1000000, 1000010}, 1e8},             // a long gap does not move the median
        {{kMin, kMax, kMax, kMax}, none},                 // a saturated interval and two of 0
        {{kMin, kMax}, 1e9 / static_cast<double>(kMax)},  // saturates instead of wrapping
    };
    for (const auto& [times, rate] : cases) {
        const std::optional<double> got = frameRate(times);
        ASSERT_EQ(got.has_value(), rate.has_value()) << ::testing::PrintToString(times);
        if (rate) {
            EXPECT_DOUBLE_EQ(*got, *rate) << ::testing::PrintToString(times);
        }
    }
    std::vector<int64_t> irregular;
    for (int64_t us : zel::test::irregularOffsetsUs()) {
        irregular.push_back(us * 1000);
    }
    EXPECT_DOUBLE_EQ(*frameRate(irregular), 1e9 / 8333000);
}

TEST(FrameTimes, TextForms) {
    const std::pair<int64_t, const char*> utc[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1707903000250000000, "2024-02-14T09:30:00.250000Z"},
        {1709164800999999999, "2024-02-29T00:00:00.999999Z"},
        {-1, "1969-12-31T23:59:59.999999Z"},
        {-86400000000000, "1969-12-31T00:00:00.000000Z"},
        {951782400000000000, "2000-02-29T00:00:00.000000Z"},
        {kMax, "2262-04-11T23:47:16.854775Z"},
        {kMin, "1677-09-21T00:12:43.145224Z"},
    };
    for (const auto& [t, text] : utc) {
        EXPECT_EQ(formatUtcTime(t), text) << t;
    }
    EXPECT_EQ(formatUtcSeconds(1707903000), "2024-02-14T09:30:00.000000Z");
    struct Elapsed {
        int64_t t, t0;
        int decimals;
        const char* text;
    } const elapsed[] = {
        {8333000, 0, 6, "0.008333"},
        {1707903000258333000, 1707903000250000000, 6, "0.008333"},
        {-1500000000, 0, 6, "-1.500000"},
        {-1, 0, 6, "0.000000"},  // rounded toward zero, and no "-0"
        {-1, 0, 9, "-0.000000001"},
        {2999999999, 0, 0, "2"},
        {kMax, kMin, 9, "18446744073.709551615"},
        {kMin, kMax, 3, "-18446744073.709"},
    };
    for (const Elapsed& e : elapsed) {
        EXPECT_EQ(formatElapsed(e.t, e.t0, e.decimals), e.text) << e.t << " " << e.t0;
    }
}

// The test movie: irregular times in an emulator folder, served by vemsim.
class IrregularMovie : public zel::test::SimTest {};

TEST_F(IrregularMovie, ServedFromAFolderGivesItsTableExactly) {
    const std::string folder = dir + "/folder";
    std::string error;
    ASSERT_TRUE(zel::test::writeFolderMovie(folder, "7-irregular", 33, 17,
                                            zel::test::irregularOffsetsUs(), &error))
        << error;
    ASSERT_TRUE(startSim({"--folder", folder, "--movie", "5x3x4:regular"}));
    MovieCatalog catalog;
    const std::optional<MovieDescription> irregular = catalog.find("7-irregular");
    ASSERT_TRUE(irregular);
    const FrameTimes times = frameTimesOf(catalog, *irregular);
    ASSERT_TRUE(times.known()) << times.failure;
    const int64_t start = (sim::syntheticRecordingTime(7) - kEpochTicks) * 100;
    std::vector<int64_t> expected;
    for (int64_t us : zel::test::irregularOffsetsUs()) {
        expected.push_back(start + us * 1000);
    }
    EXPECT_EQ(times.nanoseconds, expected);
    EXPECT_EQ(formatUtcTime(times.nanoseconds[4]), "2024-02-14T16:30:00.291665Z");

    // A synthetic movie's stamps are vemsim's documented ones (number 8 follows the folder's 7).
    const std::optional<MovieDescription> regular = catalog.find("8-regular");
    ASSERT_TRUE(regular);
    const FrameTimes regularTimes = frameTimesOf(catalog, *regular);
    ASSERT_TRUE(regularTimes.known()) << regularTimes.failure;
    for (uint64_t f = 0; f < 4; ++f) {
        EXPECT_EQ(regularTimes.nanoseconds[f], (sim::syntheticFrameTime(8, f) - kEpochTicks) * 100);
    }
    EXPECT_DOUBLE_EQ(*frameRate(regularTimes.nanoseconds), 1e9 / 8333000);

    // An info stream the service refuses: no times, and why; the movie still reads.
    ASSERT_EQ(ctl("fault error ord=9 count=1").substr(0, 2), "ok");
    const FrameTimes refused = frameTimesOf(catalog, *irregular);
    EXPECT_FALSE(refused.known());
    EXPECT_TRUE(refused.nanoseconds.empty());
    EXPECT_NE(refused.failure.find("info stream could not be read"), std::string::npos)
        << refused.failure;
    std::vector<uint8_t> frame(33 * 17 * 2);
    catalog.open("7-irregular").readFrame(9, frame.data());
    EXPECT_EQ(frame, zel::test::syntheticFrames(7, 33, 17, 9, 1));
    // A movie that is not there is not a movie without times.
    MovieDescription gone = *irregular;
    gone.entryName = "9-gone";
    EXPECT_THROW(frameTimesOf(catalog, gone), MovieError);
}

// `vem times` prints the same table, as text and as JSON, and says why when there is none.
TEST_F(IrregularMovie, VemTimesPrintsTheTable) {
    const std::string folder = dir + "/folder";
    ASSERT_TRUE(zel::test::writeFolderMovie(folder, "7-irregular", 33, 17,
                                            zel::test::irregularOffsetsUs(), nullptr));
    ASSERT_TRUE(startSim({"--folder", folder}));
    const auto vem = [](const std::vector<std::string>& args, int& code) {
        zel::test::ChildProcess process;
        EXPECT_TRUE(process.start(zel::test::siblingProgram("vem"), args));
        std::vector<std::string> lines = process.lines(60000);
        EXPECT_TRUE(process.wait(60000, code));
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        return text;
    };
    int code = -1;
    const nlohmann::json table =
        nlohmann::json::parse(vem({"times", "7-irregular", "--json"}, code));
    EXPECT_EQ(code, 0);
    const std::vector<int64_t>& us = zel::test::irregularOffsetsUs();
    ASSERT_EQ(table.size(), us.size());
    for (size_t f = 0; f < us.size(); ++f) {
        char time[64];
        std::snprintf(time, sizeof time, "2024-02-14T16:30:00.%06lldZ",
                      static_cast<long long>(250000 + us[f]));
        EXPECT_EQ(table[f]["frame"], f);
        EXPECT_EQ(table[f]["time"], time);
        EXPECT_DOUBLE_EQ(table[f]["elapsed"].get<double>(), static_cast<double>(us[f]) / 1e6);
    }
    EXPECT_EQ(vem({"times", "vem:///7-irregular", "--frames", "2:9:3"}, code),
              "2  2024-02-14T16:30:00.266666Z  0.016666\n"
              "5  2024-02-14T16:30:00.299998Z  0.049998\n"
              "8  2024-02-14T16:30:00.341663Z  0.091663\n");
    EXPECT_EQ(code, 0);

    ASSERT_EQ(ctl("fault error ord=9 count=1").substr(0, 2), "ok");
    const std::string refused = vem({"times", "7-irregular"}, code);
    EXPECT_EQ(code, 1);
    EXPECT_NE(refused.find("vem:///7-irregular: no frame times: The info stream could not be"),
              std::string::npos)
        << refused;
    EXPECT_NE(vem({"times", "8-none"}, code).find("no such movie"), std::string::npos);
    EXPECT_EQ(code, 1);
}

// Kept times: one fetch per movie while it stays the same, the oldest going when over the bound,
// a changed movie and a refused stream asked again.
TEST_F(IrregularMovie, KeptTimesAreFetchedOncePerMovie) {
    ASSERT_TRUE(startSim({"--movies", "2x5x3x10"}));
    MovieCatalog catalog;
    const std::optional<MovieDescription> a = catalog.find("1-sim");
    const std::optional<MovieDescription> b = catalog.find("2-sim");
    ASSERT_TRUE(a && b);
    FrameTimesCache cache(15);  // room for one movie of ten frames
    struct Step {
        const MovieDescription& movie;
        bool fetches;
    };
    MovieDescription grown = *a;  // the same name, now another movie
    grown.frameCount = 11;
    const Step steps[] = {{*a, true}, {*a, false},   {*b, true},    {*b, false},
                          {*a, true}, {grown, true}, {grown, false}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const long long before = simCount("requests");
        const std::shared_ptr<const FrameTimes> times = cache.get(catalog, steps[i].movie);
        EXPECT_EQ(simCount("requests") > before, steps[i].fetches) << "step " << i;
        EXPECT_EQ(times->known(), steps[i].movie.frameCount == 10) << times->failure;
    }
    ASSERT_EQ(ctl("fault error ord=9 count=2").substr(0, 2), "ok");
    cache.clear();
    EXPECT_NE(cache.get(catalog, *b)->failure.find("could not be read"), std::string::npos);
    EXPECT_NE(cache.get(catalog, *b)->failure.find("could not be read"), std::string::npos);
    EXPECT_TRUE(cache.get(catalog, *b)->known());  // a refusal is not kept
}

}  // namespace
}  // namespace zel::vem::test
