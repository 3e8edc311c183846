// ChangeFeed: the server's event stream as texts: the movies' changes, the service's comings
// and goings.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "movies/movie_catalog.h"

namespace vemserve {

// One Server-Sent Events text per files-changed notification (a "change" event naming the
// movies added and removed) and, unless the catalog is the emulator's, one "service" event
// each time the service or its drive goes or comes back (asked once a second), as
// `vem watch --json` tells them. `publish` runs on the library's refreshing thread or on the
// feed's own and must not block.
class ChangeFeed {
  public:
    ChangeFeed(zel::vem::MovieCatalog& catalog, std::function<void(std::string)> publish);
    ~ChangeFeed();
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

  private:
    void changed();
    void watchService();

    zel::vem::MovieCatalog& catalog_;
    std::function<void(std::string)> publish_;
    // Guards previous_ and stopping_; a leaf lock (the listing is taken before it).
    std::mutex lock_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::set<std::string> previous_;
    uint64_t subscription_ = 0;
    std::thread watcher_;
};

}  // namespace vemserve
