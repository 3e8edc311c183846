// vem's views end to end, on every platform: the frame rate of `vem info --json`, OME-TIFF
// exports of frame ranges, and movies named in other scripts given on the command line.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vem_cli_test_support.h"

using namespace vemcli::test;
using zel::test::syntheticFrames;

namespace {

// vemsim stamps frame f at the recording time plus f x 8333 us.
constexpr double kFrameSeconds = 0.008333;

// The OME-XML of a classic OME-TIFF: the NUL-terminated text starting at `<?xml`.
std::string omeXml(const Bytes& file) {
    const char* start = "<?xml";
    auto at = std::search(file.begin(), file.end(), start, start + std::strlen(start));
    if (at == file.end()) {
        return std::string();
    }
    return std::string(at, std::find(at, file.end(), 0));
}

Bytes framesOf(uint64_t number, uint32_t w, uint32_t h, const std::vector<uint64_t>& frames) {
    Bytes bytes;
    for (uint64_t f : frames) {
        const Bytes one = syntheticFrames(number, w, h, f, 1);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

bool endsWith(const Bytes& whole, const Bytes& tail) {
    return whole.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(),
                      whole.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

TEST_F(VemTest, InfoGivesTheFrameRateAndExportWritesOmeTiffRanges) {
    ASSERT_TRUE(startSim({"--movie", "40x30x20:run_a", "--movie", "6x4x1:single"}));
    const struct {
        const char* movie;
        bool rate;
    } rates[] = {{"1-run_a", true}, {"2-single", false}};
    for (const auto& c : rates) {
        VemRun info = vem({"info", c.movie, "--json"});
        ASSERT_EQ(info.code, 0) << info.text();
        const nlohmann::json json = info.json();
        if (c.rate) {
            EXPECT_NEAR(json["frame_rate"].get<double>(), 1 / kFrameSeconds, 1e-6) << c.movie;
        } else {
            EXPECT_TRUE(json["frame_rate"].is_null()) << c.movie;  // below two frames
        }
        EXPECT_TRUE(json["frame_times_failure"].is_null()) << c.movie;
    }

    const struct {
        const char* frames;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"3:12:4", {3, 7, 11}},
        {"-1", {19}},
        {"", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"export", "1-run_a", "-o", file("range.OME.tif"), "-q"};
        if (*c.frames) {
            args.insert(args.end(), {"--frames", c.frames});
        }
        VemRun run = vem(args);
        ASSERT_EQ(run.code, 0) << c.frames << "\n" << run.text();
        const Bytes written = readFile(file("range.OME.tif"));
        ASSERT_GE(written.size(), 4u);
        EXPECT_EQ(std::string(written.begin(), written.begin() + 4), std::string("II*\0", 4));
        // The pages' pixels are the chosen frames, one after another at the end.
        EXPECT_TRUE(endsWith(written, framesOf(1, 40, 30, c.expected))) << c.frames;
        const std::string xml = omeXml(written);
        EXPECT_NE(xml.find("SizeT=\"" + std::to_string(c.expected.size()) + "\""),
                  std::string::npos)
            << xml.substr(0, 600);
        // Each page's DeltaT is its frame's time since the movie's frame 0.
        for (size_t page = 0; page < c.expected.size(); ++page) {
            char plane[96];
            std::snprintf(plane, sizeof plane, "TheT=\"%zu\" DeltaT=\"%.6f", page,
                          static_cast<double>(c.expected[page]) * kFrameSeconds);
            std::string text = plane;
            while (text.back() == '0' && text[text.size() - 2] != '.') {
                text.pop_back();  // the view writes no trailing zeros
            }
            EXPECT_NE(xml.find(text + "\""), std::string::npos) << c.frames << " " << text;
        }
    }
    // A movie's OME-TIFF from cat is the export of every frame.
    VemRun cat = vem({"cat", "1-run_a.ome.tif", "-o", file("cat.ome.tif"), "-q"});
    ASSERT_EQ(cat.code, 0) << cat.text();
    EXPECT_EQ(readFile(file("cat.ome.tif")), readFile(file("range.OME.tif")));
}

TEST_F(VemTest, MoviesNamedInOtherScriptsListCatAndExport) {
    ASSERT_TRUE(startSim({"--movies", "1x8x8x2"}));
    // Greek and Japanese, given to vem as arguments: on Windows they must survive the
    // console's code page.
    const std::string names[] = {"\xCE\xBA\xCE\xAF\xCE\xBD\xCE\xB7\xCF\x83\xCE\xB7",  // κίνηση
                                 "\xE5\x8B\x95\xE7\x94\xBB"};                         // 動画
    uint64_t number = 2;
    for (const std::string& name : names) {
        ASSERT_EQ(ctl("add 12 10 3 " + name).rfind("ok", 0), 0u) << name;
        const std::string entry = std::to_string(number) + "-" + name;
        VemRun ls = vem({"ls", "--json"});
        ASSERT_EQ(ls.code, 0) << ls.text();
        bool listed = false;
        for (const auto& movie : ls.json()) {
            listed = listed || movie["name"] == entry;
        }
        EXPECT_TRUE(listed) << ls.text();

        const Bytes expected = framesOf(number, 12, 10, {0, 1, 2});
        VemRun cat = vem({"cat", "vem:///" + entry, "-o", file("raw.dat")});
        ASSERT_EQ(cat.code, 0) << cat.text();
        EXPECT_EQ(readFile(file("raw.dat")), expected);
        // The recorded name alone finds the movie as well.
        VemRun byName = vem({"cat", name, "-o", file("byname.dat")});
        ASSERT_EQ(byName.code, 0) << byName.text();
        EXPECT_EQ(readFile(file("byname.dat")), expected);

        // An output named in the same script: the file calls take it whole.
        const std::string out = file(name + ".ome.tif");
        VemRun exported = vem({"export", entry, "--frames", "1:", "-o", out, "-q"});
        ASSERT_EQ(exported.code, 0) << exported.text();
        EXPECT_TRUE(endsWith(readFile(out), framesOf(number, 12, 10, {1, 2})));
        EXPECT_NE(omeXml(readFile(out)).find("SizeT=\"2\""), std::string::npos);
        ++number;
    }
}

}  // namespace
