// MountFs: what the FUSE handlers answer from (the listing, the inodes, the open files) and the
// thread that keeps the kernel's caches in step with the drive.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mount.h"
#include "mount/block_cache.h"
#include "mount/listing.h"
#include "movies/frame_times.h"
#include "movies/movie_catalog.h"
#include "movies/ome_tiff.h"
#include "movies/zarr_view.h"

namespace vemcli::mount {

// One open of a file, made at open and deleted at release (or when the mount ends). The kernel
// may send the release as soon as the last read is answered, while that read's worker is still
// running: a read uses nothing of its handle after replying.
struct Handle {
    std::string name;
    MovieEntry opened;                  // the movie as its reader saw it at the open
    std::shared_ptr<BlockCache> cache;  // the movie's bytes; for a Zarr chunk, its frame's
    // An info stream or a Zarr text, when there is no cache; shared so that a read keeps it for
    // as long as its reply is being written.
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::shared_ptr<const zel::vem::OmeTiffView> view;  // an OME-TIFF's layout over the cache
};

// What a plain readdir gives for a name the kernel holds no inode of; the kernel does not use it.
constexpr uint64_t kUnknownIno = 0xffffffff;

struct DirEntry {
    std::string name;
    uint64_t ino = 0;
    bool folder = false;
};

// A folder's names: `entries`, then (in a Zarr folder) `chunks` chunk names made as they are
// read, so that a movie of many frames costs no list of them.
struct DirHandle {
    std::vector<DirEntry> entries;
    uint64_t chunks = 0;
};

class MountFs {
  public:
    MountFs(zel::vem::MovieCatalog& catalog, const MountOptions& options);
    ~MountFs();

    // Takes the first listing and follows the drive's changes from then on.
    void start();
    // Once mounted: the kernel is told of changes from now on.
    void startSession(fuse_session* session, const std::string& readAheadPath);
    // After this nothing calls into the session and nothing loads in the background.
    void stopSession();
    // Undoes start(): every open file's reader is closed, so the library ends as in any host.
    void stop();

    // The requests. Each returns 0 or an errno for the kernel.
    int lookup(uint64_t parent, const std::string& name, fuse_entry_param& e);
    void forget(uint64_t ino, uint64_t lookups);
    int getattr(uint64_t ino, struct stat& st, double& timeout);
    int open(uint64_t ino, int flags, Handle*& handle, bool& directIo);
    // Calls `reply` once when it returns 0.
    int read(Handle* handle, off_t offset, size_t size, const BlockCache::Reply& reply);
    void release(Handle* handle);
    int unlink(uint64_t parent, const std::string& name);
    int getxattr(uint64_t ino, const std::string& name, std::string& value);
    int listxattr(uint64_t ino, std::string& names);
    void statfs(struct statvfs& st);
    int opendir(uint64_t ino, DirHandle*& dir);
    void releasedir(DirHandle* dir);

  private:
    void refresh();
    void refreshIfEmulator();
    void notifyLoop();
    void fillAttr(struct stat& st, uint64_t ino, const MovieEntry& entry, uint64_t size,
                  NodeKind kind) const;
    const MovieEntry* listed(const std::string& name) const;
    bool stillListed(const std::string& name, const MovieEntry& opened);

    // The views (mount_views.cpp).
    int lookupView(const RootName& what, const MovieEntry& entry, fuse_entry_param& e);
    int lookupInZarr(uint64_t parent, const std::string& name, fuse_entry_param& e);
    int openView(InodeTable::Node node, Handle& made);
    int readOmeTiff(Handle* handle, uint64_t offset, size_t size, const BlockCache::Reply& reply);
    int opendirZarr(uint64_t ino, DirHandle& dir);
    // The movie's frame times, fetched once while the movie is unchanged. Throws MovieError
    // when the movie or the drive is not there; times that cannot be had say why.
    std::shared_ptr<const zel::vem::FrameTimes> timesOf(const MovieEntry& entry);
    // The movie's Zarr texts, made once while the movie's entry is unchanged.
    std::shared_ptr<const zel::vem::ZarrView> zarrOf(const MovieEntry& entry);
    // The caller holds stateLock_: a movie's kept times and texts after the listing changed.
    void forgetViews(const ListingChanges& changes, const Listing& fresh);

    // A kernel cache entry to drop: a name in the root, or an inode's attributes and pages.
    struct Invalidation {
        std::string name;
        uint64_t ino = 0;
    };

    zel::vem::MovieCatalog& catalog_;
    const MountOptions options_;
    const bool emulator_;
    const double timeout_;
    uint64_t subscription_ = 0;
    std::string readAheadPath_;  // set before the session loop starts
    std::once_flag readAheadWidened_;
    ReadAhead readAhead_;

    // Serialises refresh(), so that an older listing never replaces a newer one. Taken before
    // stateLock_; held across the library's listing, which takes the library's own locks.
    std::mutex refreshLock_;
    // Guards listing_, inodes_, viewData_, lastRefresh_, rootTime_, handles_ and dirs_. Nothing
    // else of the mount is locked while it is held, and no call into the library is made under
    // it.
    mutable std::mutex stateLock_;
    Listing listing_;
    InodeTable inodes_;
    // Per movie name, what its views were made from and of: kept while the entry is unchanged.
    struct ViewData {
        MovieEntry entry;
        std::shared_ptr<const zel::vem::FrameTimes> times;
        std::shared_ptr<const zel::vem::ZarrView> zarr;
    };
    std::unordered_map<std::string, ViewData> viewData_;
    std::chrono::steady_clock::time_point lastRefresh_;
    timespec rootTime_{};
    // Kept by the mount, not only by the kernel: files still open when the mount ends get no
    // release.
    std::unordered_map<Handle*, std::unique_ptr<Handle>> handles_;
    std::unordered_map<DirHandle*, std::unique_ptr<DirHandle>> dirs_;

    // Guards session_, queue_, stale_ and stopping_. Innermost: taken with no other lock held
    // but the library's own (the change callback runs under them).
    std::mutex queueLock_;
    std::condition_variable queueWake_;
    fuse_session* session_ = nullptr;
    std::deque<Invalidation> queue_;
    bool stale_ = false;  // the library's listing changed since the mount took its copy
    bool stopping_ = false;
    std::thread notifier_;
};

}  // namespace vemcli::mount
