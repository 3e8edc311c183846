// Frame times from the info stream, the frame rate they give, and their text forms.
#include "movies/frame_times.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "movies/movie_catalog.h"
#include "movies/movie_description.h"
#include "movies/view_text.h"

namespace zel::vem {

namespace {

// The info block's version 1 header (docs/info-block.md), offsets in bytes.
constexpr char kMagic[8] = {'Z', 'V', 'E', 'M', 'I', 'N', 'F', 'O'};
constexpr size_t kMinHeader = 56;
constexpr size_t kMaxHeader = 4096;
constexpr size_t kOffVersion = 8;
constexpr size_t kOffHeaderSize = 10;
constexpr size_t kOffPixelFormat = 12;
constexpr size_t kOffWidth = 16;
constexpr size_t kOffHeight = 20;
constexpr size_t kOffFrameCount = 24;
constexpr size_t kOffFrameBytes = 32;
constexpr size_t kOffFlags = 48;
constexpr uint32_t kMaxSide = 65535;

// Ticks are 100 ns since 1601-01-01 UTC; this many of them lie before 1970.
constexpr int64_t kUnixEpochTicks = 116444736000000000;
constexpr int64_t kNanosecondsPerTick = 100;

uint64_t readLE(const uint8_t* p, unsigned bytes) {
    uint64_t value = 0;
    for (unsigned i = bytes; i-- > 0;) {
        value = (value << 8) | p[i];
    }
    return value;
}

FrameTimes refuse(std::string why) {
    FrameTimes result;
    result.failure = "The info stream " + why;
    return result;
}

// Ticks as nanoseconds since 1970, false when they do not fit in 64 bits.
bool ticksToNanoseconds(int64_t ticks, int64_t& out) {
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min() / kNanosecondsPerTick;
    constexpr int64_t highest = std::numeric_limits<int64_t>::max() / kNanosecondsPerTick;
    // Checked before subtracting, so that no tick count can wrap around.
    if (ticks < lowest + kUnixEpochTicks || ticks > highest + kUnixEpochTicks) {
        return false;
    }
    out = (ticks - kUnixEpochTicks) * kNanosecondsPerTick;
    return true;
}

// The block's header fields that a reader checks, read once.
struct Header {
    uint64_t headerSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t frames = 0;
};

// Checks the rules of docs/info-block.md; on success fills `header`, else returns the reason.
std::string checkHeader(const uint8_t* data, size_t size, Header& header) {
    if (data == nullptr || size < kMinHeader) {
        return "is " + std::to_string(size) + " bytes long, shorter than an info block's header.";
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        return "is not an info block (no ZVEMINFO at its start).";
    }
    const uint64_t version = readLE(data + kOffVersion, 2);
    if (version != 1) {
        return "is of info block version " + std::to_string(version) + ", not 1.";
    }
    header.headerSize = readLE(data + kOffHeaderSize, 2);
    if (header.headerSize < kMinHeader || header.headerSize % 8 != 0 ||
        header.headerSize > kMaxHeader) {
        return "states a header size of " + std::to_string(header.headerSize) +
               " bytes (56 to 4096, a multiple of 8, is required).";
    }
    if (header.headerSize > size) {
        return "ends inside its own header.";
    }
    const uint64_t format = readLE(data + kOffPixelFormat, 4);
    if (format != 1) {
        return "has pixel format " + std::to_string(format) + ", not 1 (16-bit grey).";
    }
    header.width = static_cast<uint32_t>(readLE(data + kOffWidth, 4));
    header.height = static_cast<uint32_t>(readLE(data + kOffHeight, 4));
    if (header.width == 0 || header.height == 0 || header.width > kMaxSide ||
        header.height > kMaxSide) {
        return "has a frame of " + std::to_string(header.width) + " x " +
               std::to_string(header.height) + " pixels (1 to 65535 a side).";
    }
    if (readLE(data + kOffFrameBytes, 8) != uint64_t{header.width} * header.height * 2) {
        return "states a frame byte count that does not match its frame size.";
    }
    if (readLE(data + kOffFlags, 4) != 0) {
        return "sets flags that no reader knows.";
    }
    header.frames = readLE(data + kOffFrameCount, 8);
    // By division: no announced count can make this wrap around or allocate more than the
    // block itself holds.
    const uint64_t tableBytes = uint64_t{size} - header.headerSize;
    if (tableBytes % 8 != 0 || tableBytes / 8 != header.frames) {
        return "announces " + std::to_string(header.frames) + " frames but holds " +
               (tableBytes % 8 != 0 ? std::string("a partial time stamp")
                                    : std::to_string(tableBytes / 8) + " time stamps") +
               ".";
    }
    return std::string();
}

FrameTimes decode(const uint8_t* data, size_t size, Header& header) {
    std::string why = checkHeader(data, size, header);
    if (!why.empty()) {
        return refuse(why);
    }
    FrameTimes result;
    result.nanoseconds.resize(static_cast<size_t>(header.frames));
    const uint8_t* table = data + header.headerSize;
    for (size_t f = 0; f < result.nanoseconds.size(); ++f) {
        const auto ticks = static_cast<int64_t>(readLE(table + 8 * f, 8));
        if (!ticksToNanoseconds(ticks, result.nanoseconds[f])) {
            return refuse(
                "stamps frame " + std::to_string(f) +
                " outside 1677-09-21 to 2262-04-11, the times that 64-bit nanoseconds hold.");
        }
    }
    return result;
}

}  // namespace

FrameTimes decodeFrameTimes(const uint8_t* data, size_t size) {
    Header header;
    return decode(data, size, header);
}

FrameTimes frameTimesOf(const MovieDescription& movie, const std::vector<uint8_t>& info) {
    Header header;
    FrameTimes result = decode(info.data(), info.size(), header);
    if (result.known() && (header.width != movie.width || header.height != movie.height ||
                           header.frames != movie.frameCount)) {
        return refuse("describes " + std::to_string(header.frames) + " frames of " +
                      std::to_string(header.width) + " x " + std::to_string(header.height) +
                      ", but the movie has " + std::to_string(movie.frameCount) + " of " +
                      std::to_string(movie.width) + " x " + std::to_string(movie.height) + ".");
    }
    return result;
}

FrameTimes frameTimesOf(MovieCatalog& catalog, const MovieDescription& movie) {
    std::vector<uint8_t> info;
    try {
        info = catalog.infoStream(movie.entryName);
    } catch (const MovieError& e) {
        if (e.failure() != MovieFailure::Refused) {
            throw;
        }
        FrameTimes result;
        result.failure = std::string("The info stream could not be read (") + e.what() + ").";
        result.refused = true;
        return result;
    }
    return frameTimesOf(movie, info);
}

std::optional<double> frameRate(const std::vector<int64_t>& nanoseconds) {
    if (nanoseconds.size() < 2) {
        return std::nullopt;
    }
    // Saturated: an interval too long for 64 bits still sorts at the end where it belongs.
    std::vector<int64_t> intervals(nanoseconds.size() - 1);
    for (size_t i = 1; i < nanoseconds.size(); ++i) {
        intervals[i - 1] = view_text::saturatingDifference(nanoseconds[i], nanoseconds[i - 1]);
    }
    const size_t middle = intervals.size() / 2;
    std::nth_element(intervals.begin(), intervals.begin() + middle, intervals.end());
    double median = static_cast<double>(intervals[middle]);
    if (intervals.size() % 2 == 0) {
        const int64_t below = *std::max_element(intervals.begin(), intervals.begin() + middle);
        median = (static_cast<double>(below) + median) / 2;
    }
    if (!(median > 0)) {
        return std::nullopt;
    }
    return 1e9 / median;
}

std::string formatUtcTime(int64_t nanoseconds) {
    return view_text::utcTime(nanoseconds);
}

std::string formatUtcSeconds(int64_t seconds) {
    return view_text::utcTimeOfSeconds(seconds, 0);
}

std::string formatElapsed(int64_t t, int64_t t0, int decimals) {
    return view_text::elapsed(t, t0, decimals, false);
}

}  // namespace zel::vem
