// FrameTimesCache: each movie's frame times fetched once and kept while the movie is unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "movies/frame_times.h"
#include "movies/movie_description.h"
#include "suite/export.h"

namespace zel::vem {

class MovieCatalog;

// A host's store of frame times, so that asking a movie's times again (a Python property read
// in a loop, a view's metadata looked up twice) costs no second fetch of its info stream.
// Thread-safe.
class ZELVEM_API FrameTimesCache {
  public:
    // Keeps at most `maxStamps` stamps in all (the movie fetched last is kept whatever its size);
    // the movies used longest ago go first.
    explicit FrameTimesCache(uint64_t maxStamps = uint64_t{8} << 20);

    // `movie`'s times, as frameTimesOf(catalog, movie) gives them: kept from an earlier call
    // while the movie is the same one (identity, width, height and frame count), else fetched.
    // A block that breaks the rules is kept too (it would say the same again); an info stream
    // the service refused is not (the next call asks again). Throws MovieError as the catalog
    // does for a movie that is not there or no drive.
    std::shared_ptr<const FrameTimes> get(MovieCatalog& catalog, const MovieDescription& movie);

    // Forgets everything (the next get of each movie fetches again).
    void clear();

  private:
    struct Kept {
        MovieIdentity identity;
        uint32_t width = 0;
        uint32_t height = 0;
        uint64_t frameCount = 0;
        std::shared_ptr<const FrameTimes> times;
        uint64_t lastUse = 0;
    };
    static bool sameMovie(const Kept& kept, const MovieDescription& movie);
    void keep(const MovieDescription& movie, std::shared_ptr<const FrameTimes> times);

    const uint64_t maxStamps_;
    // Guards kept_, stamps_ and clock_; held only around the map, never while fetching (a
    // fetch is a request to the service, which takes the channel's lock).
    std::mutex lock_;
    std::map<std::string, Kept> kept_;  // by entry name
    uint64_t stamps_ = 0;
    uint64_t clock_ = 0;
};

}  // namespace zel::vem
