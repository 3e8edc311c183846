// Frame times: each frame's time stamp read from a movie's info stream, and what follows from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "suite/export.h"

namespace zel::vem {

struct MovieDescription;
class MovieCatalog;

// The time stamps of a movie's frames, or why it has none. Times are nanoseconds since
// 1970-01-01 00:00 UTC, frame 0 first, exactly as the info stream stamps them (they need not
// increase: a drive that lost its time source may repeat a stamp).
struct ZELVEM_API FrameTimes {
    std::vector<int64_t> nanoseconds;
    // Empty when the times are known; else a sentence for the user saying why they are not.
    std::string failure;
    // The service refused the info stream: unlike a block that breaks the rules, asking again
    // later may give the times.
    bool refused = false;

    bool known() const { return failure.empty(); }
};

// Decodes an info stream with the reader rules of the info block. A block that breaks any of
// them, or stamps a frame outside what 64-bit nanoseconds since 1970 can hold (1677-09-21 to
// 2262-04-11), gives no times and the reason; nothing is guessed.
ZELVEM_API FrameTimes decodeFrameTimes(const uint8_t* data, size_t size);

// The same, and the block must describe `movie`: its width, height and frame count. Times of
// a block that describes another layout are refused, since they cannot be this movie's.
ZELVEM_API FrameTimes frameTimesOf(const MovieDescription& movie, const std::vector<uint8_t>& info);

// Fetches `movie`'s info stream from `catalog` and decodes it for `movie`. An info stream the
// drive cannot give (the service refuses it) gives no times and says so; a movie that is not
// there (or no drive) throws MovieError as the catalog does.
ZELVEM_API FrameTimes frameTimesOf(MovieCatalog& catalog, const MovieDescription& movie);

// Frames per second from the median interval between consecutive frames (the mean of the two
// middle intervals for an even number of them). None below two frames, or when the median is
// not above 0 (stamps that repeat or run backwards give no rate).
ZELVEM_API std::optional<double> frameRate(const std::vector<int64_t>& nanoseconds);

// `t` as "2024-02-14T09:30:00.250000Z": UTC, always six decimals (rounded down), years 0000 to
// 9999 (outside them the year takes the digits it needs, with a sign when negative).
ZELVEM_API std::string formatUtcTime(int64_t nanoseconds);
// `seconds` (whole seconds since 1970 UTC) as "2024-02-14T09:30:00.000000Z".
ZELVEM_API std::string formatUtcSeconds(int64_t seconds);
// `t - t0` in seconds with `decimals` (0 to 9) decimals, rounded toward zero, exact for any two
// 64-bit times: "0.008333", "-1.500000".
ZELVEM_API std::string formatElapsed(int64_t t, int64_t t0, int decimals = 6);

}  // namespace zel::vem
