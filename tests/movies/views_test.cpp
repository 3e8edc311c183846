// The computed views' layouts: the OME-TIFF walked as a reader walks it (classic and BigTIFF, the
// switch at 4 GiB), its size before any time is known, and the Zarr view's keys and texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "movies/frame_times.h"
#include "movies/movie_description.h"
#include "movies/ome_tiff.h"
#include "movies/zarr_view.h"

namespace zel::vem::test {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Byte `offset` of movie frame `frame`: a pattern that differs between frames and positions.
uint8_t patternByte(uint64_t frame, uint64_t offset) {
    return static_cast<uint8_t>(frame * 131 + offset * 7 + (offset >> 8));
}

// Frames whose bytes are the pattern; counts the bytes asked for.
struct PatternFrames {
    uint64_t frameBytes;
    uint64_t* bytesRead;
    void operator()(uint64_t frame, uint64_t offset, void* out, size_t n) const {
        EXPECT_LE(offset + n, frameBytes);
        auto* p = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) {
            p[i] = patternByte(frame, offset + i);
        }
        *bytesRead += n;
    }
};

// One IFD entry as a TIFF reader sees it.
struct Field {
    uint16_t type = 0;
    uint64_t count = 0;
    uint64_t value = 0;  // the value itself when it fits the entry, else where it is
};

// A TIFF reader of our own, reading through OmeTiffView::read only what it needs, so a
// BigTIFF of several GiB is walked without any pixel being made.
class Walker {
  public:
    explicit Walker(const OmeTiffView& view)
        : view_(view), frames_{view.frameBytes(), &pixelBytes} {}

    uint64_t get(uint64_t offset, unsigned size) const {
        uint8_t bytes[8] = {};
        EXPECT_EQ(view_.read(offset, bytes, size, frames_), size) << "at " << offset;
        uint64_t value = 0;
        for (unsigned i = size; i-- > 0;) {
            value = value << 8 | bytes[i];
        }
        return value;
    }

    // Every IFD in chain order; checks the header and the tag order on the way.
    std::vector<std::map<uint16_t, Field>> pages() {
        const uint64_t magic = get(0, 4);
        big = magic == 0x002B4949;
        EXPECT_TRUE(big || magic == 0x002A4949) << std::hex << magic;
        if (big) {
            EXPECT_EQ(get(4, 4), 8u);  // 8-byte offsets, then a 0
        }
        std::vector<std::map<uint16_t, Field>> result;
        const unsigned word = big ? 8 : 4;
        for (uint64_t at = get(big ? 8 : 4, word); at != 0;) {
            EXPECT_EQ(at % 2, 0u) << "IFDs start on a word boundary";
            EXPECT_LT(at, view_.pixelOffset());
            const uint64_t count = get(at, big ? 8 : 2);
            const uint64_t entries = at + (big ? 8 : 2);
            const unsigned entrySize = big ? 20 : 12;
            std::map<uint16_t, Field> fields;
            uint16_t previous = 0;
            for (uint64_t i = 0; i < count; ++i) {
                const uint64_t e = entries + i * entrySize;
                const auto tag = static_cast<uint16_t>(get(e, 2));
                EXPECT_GT(tag, previous) << "tags in ascending order";
                previous = tag;
                Field f;
                f.type = static_cast<uint16_t>(get(e + 2, 2));
                f.count = get(e + 4, word);
                const unsigned size = f.type == 3 ? 2 : (f.type == 2 ? 1 : (f.type == 4 ? 4 : 8));
                const bool inside = size * f.count <= word;
                f.value = get(e + 4 + word, inside ? size : word);
                if (f.type == 5) {  // a RATIONAL: numerator and denominator
                    f.value = inside ? f.value : get(f.value, 8);
                }
                fields[tag] = f;
            }
            result.push_back(fields);
            at = get(entries + count * entrySize, word);
            if (result.size() > view_.pageCount()) {
                ADD_FAILURE() << "the IFD chain does not end";
                break;
            }
        }
        return result;
    }

    bool big = false;
    uint64_t pixelBytes = 0;

  private:
    const OmeTiffView& view_;
    PatternFrames frames_;
};

// What every page must say, and that its strip is its frame.
void checkPages(const OmeTiffView& view, const OmeTiffMovie& movie, bool wholeStrips) {
    Walker walker(view);
    const auto pages = walker.pages();
    EXPECT_EQ(walker.big, view.bigTiff());
    ASSERT_EQ(pages.size(), view.pageCount());
    const uint64_t frameBytes = uint64_t{movie.width} * movie.height * 2;
    for (uint64_t k = 0; k < pages.size(); ++k) {
        const auto& p = pages[k];
        EXPECT_EQ(p.size(), k == 0 ? 14u : 13u) << "page " << k;
        const std::pair<uint16_t, uint64_t> expected[] = {
            {256, movie.width},
            {257, movie.height},
            {258, 16},
            {259, 1},
            {262, 1},
            {273, view.pixelOffset() + k * frameBytes},
            {277, 1},
            {278, movie.height},
            {279, frameBytes},
            {282, uint64_t{1} << 32 | 1},
            {283, uint64_t{1} << 32 | 1},
            {296, 1},
            {339, 1}};
        for (const auto& [tag, value] : expected) {
            ASSERT_EQ(p.count(tag), 1u) << "page " << k << " tag " << tag;
            EXPECT_EQ(p.at(tag).value, value) << "page " << k << " tag " << tag;
            EXPECT_EQ(p.at(tag).count, 1u);
        }
        EXPECT_EQ(p.at(273).type, view.bigTiff() ? 16 : 4);
        if (wholeStrips) {
            std::vector<uint8_t> strip(static_cast<size_t>(frameBytes));
            uint64_t ignored = 0;
            ASSERT_EQ(view.read(p.at(273).value, strip.data(), strip.size(),
                                PatternFrames{frameBytes, &ignored}),
                      strip.size());
            for (uint64_t i = 0; i < frameBytes; ++i) {
                ASSERT_EQ(strip[i], patternByte(view.frameOfPage(k), i)) << "page " << k;
            }
        }
    }
    // The description: the OME-XML and its NUL, as the field says.
    const Field d = pages[0].at(270);
    EXPECT_EQ(d.type, 2);
    const std::string xml = view.omeXml();
    ASSERT_EQ(d.count, xml.size() + 1);
    std::string read(xml.size() + 1, 'x');
    uint64_t ignored = 0;
    view.read(d.value, read.data(), read.size(), PatternFrames{frameBytes, &ignored});
    EXPECT_EQ(read, xml + '\0');
    EXPECT_EQ(walker.pixelBytes, 0u) << "the metadata was read without any frame";
}

std::shared_ptr<const std::vector<int64_t>> timesOf(std::vector<int64_t> t) {
    return std::make_shared<const std::vector<int64_t>>(std::move(t));
}

TEST(OmeTiff, PagesAreTheFramesAndTheSizeIsTheBytesRead) {
    struct Case {
        OmeTiffMovie movie;
        FrameSelection frames;
        bool bigTiff;
    } const cases[] = {
        {{4, 2, 1, "a", 0}, {0, 1, 1}, false},
        {{33, 17, 10, "irregular", 1707903000}, {0, 1, 10}, false},
        {{33, 17, 10, "irregular", 1707903000}, {0, 1, 10}, true},
        {{33, 17, 10, "<&\"'>\xCE\xB1\xFF", -1}, {2, 3, 3}, false},  // frames 2, 5, 8
        {{1, 1, 300, "tiny", 0}, {0, 1, 300}, false},  // metadata past one 4 KiB block
        {{7, 3, 12, "x", 0}, {11, 5, 1}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.movie.name + (c.bigTiff ? " BigTIFF" : ""));
        std::vector<int64_t> stamps(c.movie.frameCount);
        for (size_t f = 0; f < stamps.size(); ++f) {
            stamps[f] = 1707903000250000000 + static_cast<int64_t>(f * f) * 1000003;
        }
        const OmeTiffView timed(c.movie, c.frames, timesOf(stamps), c.bigTiff);
        const OmeTiffView untimed(c.movie, c.frames, nullptr, c.bigTiff);
        EXPECT_EQ(timed.bigTiff(), c.bigTiff);
        EXPECT_EQ(timed.size(), untimed.size()) << "the size does not wait for the times";
        EXPECT_EQ(timed.pixelOffset() % 4096, 0u);
        EXPECT_EQ(timed.size() - timed.pixelOffset(), c.frames.count * timed.frameBytes());
        checkPages(timed, c.movie, true);

        // Read whole, and in pieces of odd sizes crossing every region: the same bytes, and
        // short only at the end.
        uint64_t pixels = 0;
        const PatternFrames frames{timed.frameBytes(), &pixels};
        std::vector<uint8_t> whole(static_cast<size_t>(timed.size()) + 100);
        ASSERT_EQ(timed.read(0, whole.data(), whole.size(), frames), timed.size());
        whole.resize(static_cast<size_t>(timed.size()));
        EXPECT_EQ(pixels, c.frames.count * timed.frameBytes());
        for (size_t piece : {1, 7, 4093, 65537}) {
            std::vector<uint8_t> pieces;
            std::vector<uint8_t> buffer(piece);
            for (size_t got; (got = timed.read(pieces.size(), buffer.data(), piece, frames)) > 0;) {
                pieces.insert(pieces.end(), buffer.begin(), buffer.begin() + got);
            }
            EXPECT_TRUE(pieces == whole) << "pieces of " << piece;
        }
        EXPECT_EQ(timed.read(timed.size(), whole.data(), 10, frames), 0u);

        // Without times the file differs only inside the planes of the XML.
        std::vector<uint8_t> plain(whole.size());
        untimed.read(0, plain.data(), plain.size(), frames);
        const std::string xml = timed.omeXml();
        const std::string plainXml = untimed.omeXml();
        ASSERT_EQ(xml.size(), plainXml.size());
        const auto at = std::search(whole.begin(), whole.end(), xml.begin(), xml.end());
        ASSERT_NE(at, whole.end());
        std::copy(xml.begin(), xml.end(), plain.begin() + (at - whole.begin()));
        EXPECT_TRUE(plain == whole);
        EXPECT_EQ(plainXml.find("DeltaT"), std::string::npos);
    }
}

TEST(OmeTiff, SizeFollowsTheDocumentedFormula) {
    // Worked out by hand from docs/views.md ("The size"), not from this code.
    struct Case {
        OmeTiffMovie movie;
        bool bigTiff;
        uint64_t pixelOffset, size;
    } const cases[] = {
        {{4, 2, 1, "a", 0}, false, 4096, 4112},
        {{1, 1, 300, "tiny", 0}, false, 81920, 82520},
        {{33, 17, 10, "bewegung_\xCE\xB1\xCE\xB2", 1707928200}, false, 4096, 15316},
        {{640, 480, 200, "sim", 1707903000}, false, 57344, 122937344},
        {{640, 480, 200, "sim", 1707903000}, true, 73728, 122953728},
        {{640, 480, 6987, "sim", 1707903000}, false, 1884160, 4294696960},  // the last classic
        {{640, 480, 6988, "sim", 1707903000}, true, 2551808, 4295979008},   // the first BigTIFF
    };
    for (const Case& c : cases) {
        const OmeTiffView view(c.movie, FrameSelection::all(c.movie.frameCount), nullptr,
                               c.bigTiff && c.movie.frameCount == 200);
        EXPECT_EQ(view.bigTiff(), c.bigTiff) << c.movie.name << " " << c.movie.frameCount;
        EXPECT_EQ(view.pixelOffset(), c.pixelOffset) << c.movie.name << " " << c.movie.frameCount;
        EXPECT_EQ(view.size(), c.size) << c.movie.name << " " << c.movie.frameCount;
    }
}

TEST(OmeTiff, XmlNamesThePixelsPlanesAndTimes) {
    const OmeTiffMovie movie{33, 17, 12, "run <1> & \"\xCE\xB1\"", 1707903000};
    // Frame 0 at 09:30:00.25; frames 4 and 10 exported; frame 10 before frame 0 (a drive that
    // lost its time source), frame 4 at the farthest distance 64 bits allow.
    std::vector<int64_t> t(12, 1707903000250000000);
    t[0] = kMin, t[4] = kMax, t[10] = kMin + 1;
    const OmeTiffView view(movie, {4, 6, 2}, timesOf(t));
    const std::string xml = view.omeXml();
    for (const char* part :
         {"<OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\"",
          "<Image ID=\"Image:0\" Name=\"run &lt;1&gt; &amp; &quot;&#x3B1;&quot;\">",
          "<AcquisitionDate>2024-02-14T09:30:00Z</AcquisitionDate>",
          "DimensionOrder=\"XYZCT\" Type=\"uint16\"",
          "SizeX=\"33\" SizeY=\"17\" SizeZ=\"1\" SizeC=\"1\" SizeT=\"2\"",
          "<TiffData IFD=\"0\" PlaneCount=\"2\"/>",
          // DeltaT's room fits the longest value, and the shorter ones are padded to it.
          "<Plane TheZ=\"0\" TheC=\"0\" TheT=\"0\" DeltaT=\"18446744073.709551615\" "
          "DeltaTUnit=\"s\" />",
          "<Plane TheZ=\"0\" TheC=\"0\" TheT=\"1\" DeltaT=\"0.000000001\" "
          "DeltaTUnit=\"s\"           />",
          "</Pixels></Image></OME>"}) {
        EXPECT_NE(xml.find(part), std::string::npos) << part << "\n" << xml;
    }
    EXPECT_TRUE(std::all_of(xml.begin(), xml.end(), [](char c) { return c > 0 && c < 127; }))
        << "ASCII only, as the description field's type says";
}

TEST(OmeTiff, ClassicUpTo4GiBThenBigTiffWithoutMakingAFrame) {
    // 640 x 480 frames; 1 x 1 ones whose metadata outweighs the pixels; frames of almost 4 GiB,
    // of which one fits a classic file and two do not.
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{640, 480}, {1, 1}, {65535, 32767}}) {
        const auto view = [&](uint64_t n) { return OmeTiffView({w, h, n, "sim", 0}); };
        uint64_t low = 1;
        uint64_t high = (uint64_t{1} << 33) / (uint64_t{w} * h * 2) + 1;
        ASSERT_TRUE(view(high).bigTiff());
        ASSERT_FALSE(view(low).bigTiff());
        while (high - low > 1) {
            const uint64_t mid = low + (high - low) / 2;
            (view(mid).bigTiff() ? high : low) = mid;
        }
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + ": " + std::to_string(low));
        const OmeTiffView classic = view(low);
        const OmeTiffView big = view(low + 1);
        EXPECT_LE(classic.size(), uint64_t{1} << 32);
        EXPECT_TRUE(big.bigTiff());
        EXPECT_GT(big.size(), uint64_t{1} << 32);
        if (w == 640) {
            checkPages(classic, {w, h, low, "sim", 0}, false);
            checkPages(big, {w, h, low + 1, "sim", 0}, false);
            // The last strip ends the file, past 4 GiB.
            uint64_t ignored = 0;
            uint8_t last = 0;
            EXPECT_EQ(big.read(big.size() - 1, &last, 1, PatternFrames{614400, &ignored}), 1u);
            EXPECT_EQ(last, patternByte(low, 614399));
        }
    }
}

TEST(OmeTiff, RefusesWhatCannotBeLaidOut) {
    const OmeTiffMovie movie{4, 2, 10, "m", 0};
    struct Case {
        OmeTiffMovie movie;
        FrameSelection frames;
        size_t times;
    } const cases[] = {
        {{4, 2, 0, "m", 0}, {0, 1, 0}, 0},        // no frames
        {{0, 2, 10, "m", 0}, {0, 1, 10}, 0},      // no pixels
        {{65536, 2, 10, "m", 0}, {0, 1, 10}, 0},  // wider than a frame can be
        {movie, {10, 1, 1}, 0},                   // past the end
        {movie, {0, 2, 6}, 0},                    // the last one past the end
        {movie, {1, 0, 3}, 0},                    // a step of 0
        {movie, {9, kMax, 2}, 0},                 // a step that wraps
        {movie, {0, 1, 10}, 9},                   // times of another count
        {{65535, 65535, uint64_t{1} << 40, "m", 0}, {0, 1, uint64_t{1} << 40}, 0},  // > 2^64
    };
    for (const Case& c : cases) {
        auto times = c.times ? timesOf(std::vector<int64_t>(c.times)) : nullptr;
        EXPECT_THROW(OmeTiffView(c.movie, c.frames, times), std::invalid_argument)
            << c.frames.first << ":" << c.frames.step << ":" << c.frames.count;
    }
    EXPECT_NO_THROW(OmeTiffView(movie, {0, 3, 4}, nullptr));  // frames 0, 3, 6, 9
}

MovieDescription zarrMovie() {
    MovieDescription m;
    m.entryName = "7-run \"\xCE\xB1\"";
    m.name = "run \"\xCE\xB1\"";
    m.width = 33, m.height = 17, m.frameCount = 120, m.index = 3;
    m.recordingTime = 1707903000;
    m.startTime = "045:09:30:00.250000";
    m.endTime = "045:09:30:01.241627";
    m.durationMicroseconds = 991627;
    return m;
}

TEST(ZarrView, ChunkKeysAreFramesInOneSpelling) {
    const ZarrView view(zarrMovie(), nullptr);
    const std::pair<const char*, std::optional<uint64_t>> keys[] = {
        {"0.0.0", 0},
        {"119.0.0", 119},
        {"120.0.0", std::nullopt},
        {"07.0.0", std::nullopt},
        {"-1.0.0", std::nullopt},
        {"1.0.1", std::nullopt},
        {"1.0", std::nullopt},
        {".0.0", std::nullopt},
        {"1/0/0", std::nullopt},
        {"+1.0.0", std::nullopt},
        {"18446744073709551616.0.0", std::nullopt},
        {".zarray", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [key, frame] : keys) {
        EXPECT_EQ(view.chunkFrame(key), frame) << key;
    }
    EXPECT_EQ(ZarrView::chunkKey(42), "42.0.0");
    EXPECT_EQ(view.chunkBytes(), 33u * 17 * 2);
    EXPECT_EQ(view.metadata(".zattrs"), &view.zattrs());
    EXPECT_EQ(view.metadata(".zgroup"), nullptr);
}

// What zarr itself reads of these texts is checked in test_views.py; here what it cannot see:
// the reasons, escaped, and times that do not fit the movie.
TEST(ZarrView, AttributesSayWhatIsKnown) {
    const MovieDescription movie = zarrMovie();
    FrameTimes known;
    for (int64_t f = 0; f < 120; ++f) {
        known.nanoseconds.push_back(1707903000250000000 + f * 8333000 - (f == 2 ? 8333000 : 0));
    }
    FrameTimes broken;
    broken.failure = "The info stream is \"broken\".";
    FrameTimes shorter;
    shorter.nanoseconds = {1, 2};
    const std::pair<const FrameTimes*, std::vector<const char*>> cases[] = {
        {&known,
         {"\"frame_times\": [0.0, 0.008333, 0.008333, 0.024999, ", "\"frame_times_failure\": null",
          "\"recording_time\": \"2024-02-14T09:30:00.000000Z\""}},
        {&broken,
         {"\"frame_times\": null",
          "\"frame_times_failure\": \"The info stream is \\\"broken\\\".\""}},
        {&shorter, {"\"frame_times\": null", "not one per frame"}},
        {nullptr, {"\"frame_times\": null", "\"frame_times_failure\": null"}},
    };
    for (const auto& [times, parts] : cases) {
        const ZarrView view(movie, times);
        for (const char* part : parts) {
            EXPECT_NE(view.zattrs().find(part), std::string::npos) << part << "\n" << view.zattrs();
        }
        EXPECT_NE(view.zmetadata().find(view.zattrs()), std::string::npos);
    }
}

}  // namespace
}  // namespace zel::vem::test
