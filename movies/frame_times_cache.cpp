// FrameTimesCache: kept frame times, looked up by entry name and checked against the movie.
#include "movies/frame_times_cache.h"

#include <utility>

#include "movies/movie_catalog.h"

namespace zel::vem {

FrameTimesCache::FrameTimesCache(uint64_t maxStamps) : maxStamps_(maxStamps) {}

bool FrameTimesCache::sameMovie(const Kept& kept, const MovieDescription& movie) {
    return kept.identity == movie.identity() && kept.width == movie.width &&
           kept.height == movie.height && kept.frameCount == movie.frameCount;
}

std::shared_ptr<const FrameTimes> FrameTimesCache::get(MovieCatalog& catalog,
                                                       const MovieDescription& movie) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = kept_.find(movie.entryName);
        if (found != kept_.end() && sameMovie(found->second, movie)) {
            found->second.lastUse = ++clock_;
            return found->second.times;
        }
    }
    // Fetched without the lock: two first calls for one movie may both fetch, and the later
    // one's result is kept; both are the same movie's times.
    auto times = std::make_shared<const FrameTimes>(frameTimesOf(catalog, movie));
    if (!times->refused) {
        keep(movie, times);
    }
    return times;
}

void FrameTimesCache::keep(const MovieDescription& movie, std::shared_ptr<const FrameTimes> times) {
    std::lock_guard<std::mutex> guard(lock_);
    Kept& kept = kept_[movie.entryName];
    stamps_ -= kept.times ? kept.times->nanoseconds.size() : 0;
    kept = Kept{movie.identity(), movie.width,      movie.height,
                movie.frameCount, std::move(times), ++clock_};
    stamps_ += kept.times->nanoseconds.size();
    // Oldest first, never the one just kept. A scan per eviction: the map holds few movies
    // when they are large, and evicts rarely when they are small.
    while (stamps_ > maxStamps_ && kept_.size() > 1) {
        auto oldest = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->first != movie.entryName &&
                (oldest == kept_.end() || it->second.lastUse < oldest->second.lastUse)) {
                oldest = it;
            }
        }
        stamps_ -= oldest->second.times->nanoseconds.size();
        kept_.erase(oldest);
    }
}

void FrameTimesCache::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    kept_.clear();
    stamps_ = 0;
}

}  // namespace zel::vem
