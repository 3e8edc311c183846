// The mount's copy of the drive's listing, its diff, and the table of inodes the kernel holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "movies/movie_description.h"
#include "movies/zarr_view.h"

namespace vemcli::mount {

// What the mount shows of one movie, copied out of the library so that lookups, attributes and
// listings never wait on it.
struct MovieEntry {
    // The whole description, for the views laid out from it.
    zel::vem::MovieDescription description;
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

// What a file of the mount is: a movie, its info stream, or one of its views (the OME-TIFF
// NAME.ome.tif, the Zarr folder NAME.zarr and the files in it).
enum class NodeKind : uint8_t { Movie, Info, OmeTiff, ZarrFolder, ZarrFile };

// Whether `movie` has view `kind` (OmeTiff or ZarrFolder): the OME-TIFF needs a frame and sides
// a TIFF can hold; both need frames the drive can read.
bool hasView(const zel::vem::MovieDescription& movie, NodeKind kind);

struct RootName {
    std::string movie;
    NodeKind kind = NodeKind::Movie;
};

// What `name` in the root folder names. A listed movie of that very name wins over everything;
// then NAME:info (any letter case) and, when `views`, NAME.ome.tif and NAME.zarr of a listed
// movie NAME. Nullopt for anything else.
std::optional<RootName> resolveRootName(const Listing& listing, const std::string& name,
                                        bool views);

// The root folder's names in listing order, each movie followed by its views (when `views`)
// unless a movie holds the view's name or the name would be too long. Info streams are not
// listed.
std::vector<std::pair<std::string, RootName>> rootEntries(const Listing& listing, bool views);

// The file name of view `kind` of movie `movie` (the movie's own name for Movie).
std::string rootNameOf(const std::string& movie, NodeKind kind);

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
        NodeKind kind = NodeKind::Movie;
        std::string key;       // the file's name inside a Zarr folder
        bool attached = true;  // false once its name went or names another movie
        uint64_t lookups = 0;
        // The size the kernel was told at the last lookup: of the info stream as fetched, of a
        // view as laid out, of a Zarr text as made. Unused for movies and folders.
        uint64_t size = 0;
        // The Zarr texts a text file was sized from at its lookup (null for a chunk file).
        std::shared_ptr<const zel::vem::ZarrView> zarr;
        uint64_t frame = 0;  // a Zarr chunk's frame
        MovieEntry last;     // what it showed last: served after it went
    };

    // The inode of file (movie, kind, key), made when the kernel has none, counting one more
    // lookup.
    uint64_t remember(const std::string& movie, NodeKind kind, const MovieEntry& entry,
                      const std::string& key = std::string());
    // The inode of (movie, kind, key) the kernel holds, without counting; 0 when none.
    uint64_t find(const std::string& movie, NodeKind kind,
                  const std::string& key = std::string()) const;
    Node* node(uint64_t ino);
    // The kernel dropped `lookups` of its references.
    void forget(uint64_t ino, uint64_t lookups);
    // The inodes the kernel holds of a movie and its views, every kind.
    std::vector<uint64_t> inodesOf(const std::string& movie) const;
    // The names no longer lead to the inodes of the movie, its info stream and its views (only
    // its Zarr folder and what is in it, when `zarrOnly`); they live on for the handles the
    // kernel still has, until forgotten.
    void detach(const std::string& movie, bool zarrOnly = false);
    size_t size() const { return nodes_.size(); }

  private:
    static std::string key(const std::string& movie, NodeKind kind, const std::string& key);
    std::unordered_map<uint64_t, Node> nodes_;
    // Sorted, so that a movie's nodes are one range: movie, NUL, kind, key.
    std::map<std::string, uint64_t> byName_;
    uint64_t next_ = kRoot + 1;
};

}  // namespace vemcli::mount
