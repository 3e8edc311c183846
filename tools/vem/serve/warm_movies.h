// WarmMovies: the movies the server read last stay open for a few seconds between requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "movies/movie_catalog.h"

namespace vemserve {

// A browser's slider, a Zarr client or the remote Python client asks for a movie one frame or
// range at a time. Opened and closed per request, each would cost the service a file and a fresh
// shared section (about 4 ms of the service's time per 640x480 frame, ten times the frame's
// load). Opens of one movie share one file at the service while any is open, so keeping one
// reader open per recently read movie, unread, makes every request's own open cheap.
// At most `capacity` movies stay open, each for `keep` after its last open; a movie a refresh
// replaced under the same name gets a new keeper at its next open.
class WarmMovies {
  public:
    WarmMovies(zel::vem::MovieCatalog& catalog, size_t capacity, std::chrono::milliseconds keep);
    ~WarmMovies();
    WarmMovies(const WarmMovies&) = delete;
    WarmMovies& operator=(const WarmMovies&) = delete;

    // catalog.open(entryName), keeping the movie warm. Throws as catalog.open.
    zel::vem::MovieReader open(const std::string& entryName);
    // Lets go of the movie now (before it is removed).
    void forget(const std::string& entryName);
    // How many movies are kept open.
    size_t size();

  private:
    struct Warm {
        zel::vem::MovieReader keeper;
        std::chrono::steady_clock::time_point used;
    };
    void expire();

    zel::vem::MovieCatalog& catalog_;
    const size_t capacity_;
    const std::chrono::milliseconds keep_;
    // Guards warm_ and stopping_; a leaf lock: readers are opened and closed outside it (closing
    // one may talk to the service).
    std::mutex lock_;
    std::condition_variable wake_;
    std::list<Warm> warm_;  // most recently used first
    bool stopping_ = false;
    std::thread expiry_;
};

}  // namespace vemserve
