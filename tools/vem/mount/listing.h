// The mount's copy of the drive's listing, its diff, and the table of inodes the kernel holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "movies/movie_description.h"

namespace vemcli::mount {

// What the mount shows of one movie, copied out of the library so that lookups, attributes and
// listings never wait on it.
struct MovieEntry {
    uint64_t number = 0;
    std::string recordedName;
    int64_t recordingTime = 0;  // seconds since 1970: the file's times
    uint64_t size = 0;
    uint64_t frameBytes = 0;
    // "user.vem.<property>" and the library's text for it, in the library's order.
    std::vector<std::pair<std::string, std::string>> xattrs;

    bool operator==(const MovieEntry& o) const;
    bool operator!=(const MovieEntry& o) const { return !(*this == o); }
    // Whether the bytes are the same movie's: only its index or times as text may differ.
    bool sameMovie(const MovieEntry& o) const;
};

MovieEntry entryOf(const zel::vem::MovieDescription& movie);

// Entry name to movie, sorted as `ls` shows it.
using Listing = std::map<std::string, MovieEntry>;

// Whether a name from the service can be a file name in the folder: not empty, "." or "..", no
// '/', no control character (C0, DEL or C1), no trailing ":info" (which names a stream here),
// at most 255 bytes. A name that cannot is left out; the other movies are shown as ever.
bool showableName(const std::string& name);

// The listing of `movies`, the first movie of a name winning as in the library; `leftOut`
// counts the names that were not showable.
Listing listingOf(const std::vector<zel::vem::MovieDescription>& movies, size_t* leftOut = nullptr);

// "NAME:info" in any letter case names NAME's info stream; true and NAME in `movie` then.
bool splitInfoName(const std::string& name, std::string& movie);

struct ListingChanges {
    std::vector<std::string> appeared;
    std::vector<std::string> went;
    std::vector<std::string> changed;   // listed before and after, something differs
    std::vector<std::string> replaced;  // of those, another movie's bytes under the same name
    bool empty() const { return appeared.empty() && went.empty() && changed.empty(); }
};

ListingChanges diffListings(const Listing& before, const Listing& after);

// The inodes the kernel knows. An inode is made when a lookup hands it to the kernel and goes
// when the kernel forgets it as often as it was handed out, so the table holds what the kernel
// caches, not every name ever seen. Numbers are never reused. Not thread-safe: the mount's state
// lock guards it.
class InodeTable {
  public:
    static constexpr uint64_t kRoot = 1;

    struct Node {
        std::string movie;
        bool info = false;
        bool attached = true;  // false once its name went or names another movie
        uint64_t lookups = 0;
        uint64_t infoSize = 0;  // as fetched by the last lookup of the info stream
        MovieEntry last;        // what it showed last: served after the movie went
    };

    // The inode of (movie, info), made when the kernel has none, counting one more lookup.
    uint64_t remember(const std::string& movie, bool info, const MovieEntry& entry);
    // The inode of (movie, info) the kernel holds, without counting; 0 when none.
    uint64_t find(const std::string& movie, bool info) const;
    Node* node(uint64_t ino);
    // The kernel dropped `lookups` of its references.
    void forget(uint64_t ino, uint64_t lookups);
    // The name no longer leads to the inodes of the movie and its info stream; they live on for
    // the handles the kernel still has, until forgotten.
    void detach(const std::string& movie);
    size_t size() const { return nodes_.size(); }

  private:
    static std::string key(const std::string& movie, bool info);
    std::unordered_map<uint64_t, Node> nodes_;
    std::unordered_map<std::string, uint64_t> byName_;
    uint64_t next_ = kRoot + 1;
};

}  // namespace vemcli::mount
