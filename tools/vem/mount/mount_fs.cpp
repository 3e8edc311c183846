// MountFs: the requests, answered from the listing, the inodes and the open files.
#include "mount/mount_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "mount/errors.h"
#include "mount/readahead_tuning.h"

namespace vemcli::mount {

namespace {

using zel::vem::MovieError;
using zel::vem::MovieFailure;

// What a plain readdir gives for a name the kernel holds no inode of; the kernel does not use it.
constexpr uint64_t kUnknownIno = 0xffffffff;
// Info streams larger than this are refused rather than held in memory.
constexpr size_t kLargestInfo = 64 << 20;

// A cache's bytes from one reader of the movie layer. A reader that lost its movie or its
// service stays Gone: its cache then never serves another reader's bytes.
class ReaderSource : public BlockSource {
  public:
    explicit ReaderSource(zel::vem::MovieReader reader) : reader_(std::move(reader)) {}
    LoadResult read(uint64_t offset, uint8_t* out, size_t n) override {
        try {
            return reader_.read(offset, out, n) == n ? LoadResult::Ok : LoadResult::Failed;
        } catch (const MovieError& error) {
            return error.failure() == MovieFailure::Gone ? LoadResult::Gone : LoadResult::Failed;
        } catch (const std::exception&) {
            return LoadResult::Failed;
        }
    }

  private:
    zel::vem::MovieReader reader_;
};

int failureErrno(const MovieError& error, bool byName) {
    return errnoOf(refusalOf(error.failure(), byName));
}

}  // namespace

MountFs::MountFs(zel::vem::MovieCatalog& catalog, const MountOptions& options)
    : catalog_(catalog),
      options_(options),
      emulator_(catalog.emulator()),
      // The drive reports its changes and the kernel's entries are invalidated then, so they
      // may live long; the emulator folder changes unannounced.
      timeout_(catalog.emulator() ? 1.0 : 10.0) {
    clock_gettime(CLOCK_REALTIME, &rootTime_);
}

MountFs::~MountFs() {
    stopSession();
    stop();
}

// The caller holds stateLock_.
const MovieEntry* MountFs::listed(const std::string& name) const {
    auto found = listing_.find(name);
    return found == listing_.end() ? nullptr : &found->second;
}

// Kept blocks serve a handle only while its movie is listed as it was opened: a movie removed,
// or replaced after a restart of the service, reads as EIO.
bool MountFs::stillListed(const std::string& name, const MovieEntry& opened) {
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* entry = listed(name);
    return entry != nullptr && entry->sameMovie(opened);
}

void MountFs::fillAttr(struct stat& st, uint64_t ino, const MovieEntry& entry, uint64_t size,
                       bool info) const {
    st = {};
    st.st_ino = ino;
    st.st_mode = S_IFREG | (info || !options_.allowDelete ? 0444 : 0644);
    st.st_nlink = 1;
    st.st_uid = getuid();
    st.st_gid = getgid();
    st.st_size = static_cast<off_t>(size);
    st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    // cat and cp read in pieces of this size.
    st.st_blksize = 1 << 20;
    st.st_mtim.tv_sec = static_cast<time_t>(entry.recordingTime);
    st.st_ctim = st.st_mtim;
    st.st_atim = st.st_mtim;
}

// ---- requests ----

int MountFs::lookup(const std::string& name, fuse_entry_param& e) {
    refreshIfEmulator();
    std::string movie;
    const bool info = splitInfoName(name, movie);
    if (!info) {
        movie = name;
    }
    e = {};
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        const MovieEntry* entry = listed(movie);
        if (entry == nullptr) {
            // A negative entry: the notifier drops it when such a movie appears.
            e.entry_timeout = timeout_;
            return 0;
        }
        if (!info) {
            e.ino = inodes_.remember(movie, false, *entry);
            fillAttr(e.attr, e.ino, *entry, entry->size, false);
            e.attr_timeout = e.entry_timeout = timeout_;
            return 0;
        }
    }
    // The info stream's size is known only by fetching it; the kernel caches neither.
    std::vector<uint8_t> bytes;
    try {
        bytes = catalog_.infoStream(movie);
    } catch (const MovieError& error) {
        return failureErrno(error, true);
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* entry = listed(movie);
    if (entry == nullptr) {
        return errnoOf(Refusal::NoEntry);
    }
    e.ino = inodes_.remember(movie, true, *entry);
    inodes_.node(e.ino)->infoSize = bytes.size();
    fillAttr(e.attr, e.ino, *entry, bytes.size(), true);
    return 0;
}

void MountFs::forget(uint64_t ino, uint64_t lookups) {
    std::lock_guard<std::mutex> guard(stateLock_);
    inodes_.forget(ino, lookups);
}

int MountFs::getattr(uint64_t ino, struct stat& st, double& timeout) {
    refreshIfEmulator();
    std::lock_guard<std::mutex> guard(stateLock_);
    if (ino == InodeTable::kRoot) {
        st = {};
        st.st_ino = ino;
        st.st_mode = S_IFDIR | (options_.allowDelete ? 0755 : 0555);
        st.st_nlink = 2;
        st.st_uid = getuid();
        st.st_gid = getgid();
        st.st_mtim = rootTime_;
        st.st_ctim = rootTime_;
        st.st_atim = rootTime_;
        timeout = timeout_;
        return 0;
    }
    InodeTable::Node* node = inodes_.node(ino);
    if (node == nullptr) {
        return errnoOf(Refusal::NoEntry);
    }
    const MovieEntry* entry = node->attached ? listed(node->movie) : nullptr;
    if (entry != nullptr) {
        fillAttr(st, ino, *entry, node->info ? node->infoSize : entry->size, node->info);
        timeout = node->info ? 0 : timeout_;
        return 0;
    }
    // The movie went while the kernel held its inode, maybe for an open file: as a removed
    // file's, its last attributes, so that reading an open one fails with EIO, not ENOENT.
    fillAttr(st, ino, node->last, node->info ? node->infoSize : node->last.size, node->info);
    st.st_nlink = 0;
    timeout = 0;
    return 0;
}

int MountFs::open(uint64_t ino, int flags, Handle*& handle, bool& directIo) {
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0) {
        return errnoOf(Refusal::ReadOnly);
    }
    auto made = std::make_unique<Handle>();
    bool info = false;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        InodeTable::Node* node = inodes_.node(ino);
        if (node == nullptr || !node->attached) {
            return errnoOf(Refusal::NoEntry);
        }
        made->name = node->movie;
        info = node->info;
    }
    directIo = false;
    try {
        if (info) {
            made->info = catalog_.infoStream(made->name);
            if (made->info.size() > kLargestInfo) {
                return errnoOf(Refusal::Io);
            }
            // Served as fetched now, whatever size the kernel was told at the lookup.
            directIo = true;
        } else {
            zel::vem::MovieReader reader = catalog_.open(made->name);
            const zel::vem::MovieDescription& movie = reader.description();
            made->opened = entryOf(movie);
            made->cache = std::make_shared<BlockCache>(
                std::make_unique<ReaderSource>(std::move(reader)), made->opened.size,
                made->opened.frameBytes, &readAhead_);
        }
    } catch (const MovieError& error) {
        return failureErrno(error, true);
    }
    if (!info && !stillListed(made->name, made->opened)) {
        // The reader saw the drive after the mount's copy was taken: catch up, so that reads
        // are checked against the movie they read.
        refresh();
    }
    if (!info) {
        std::call_once(readAheadWidened_, [this] { widenReadAhead(readAheadPath_); });
    }
    handle = made.get();
    std::lock_guard<std::mutex> guard(stateLock_);
    handles_.emplace(handle, std::move(made));
    return 0;
}

int MountFs::read(Handle* handle, off_t offset, size_t size, const BlockCache::Reply& reply) {
    if (offset < 0) {
        return errnoOf(Refusal::BadOffset);
    }
    if (!handle->cache) {
        const uint64_t total = handle->info.size();
        const uint64_t at = std::min<uint64_t>(static_cast<uint64_t>(offset), total);
        reply(handle->info.data() + at, static_cast<size_t>(std::min<uint64_t>(size, total - at)));
        return 0;
    }
    // Once the reply is out the kernel may release the handle while this thread still works:
    // what is used after the reply is a copy, never the handle.
    const std::shared_ptr<BlockCache> cache = handle->cache;
    if (!stillListed(handle->name, handle->opened)) {
        return errnoOf(Refusal::Io);
    }
    // A read either delivers every byte asked for (up to the end) or fails: the kernel would fill
    // a short reply with zeros, a file that looks whole.
    return cache->read(static_cast<uint64_t>(offset), size, reply) ? 0 : errnoOf(Refusal::Io);
}

void MountFs::release(Handle* handle) {
    std::unique_ptr<Handle> owned;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        auto found = handles_.find(handle);
        if (found == handles_.end()) {
            return;
        }
        owned = std::move(found->second);
        handles_.erase(found);
    }
    if (owned->cache) {
        owned->cache->close();
    }
}

int MountFs::unlink(uint64_t parent, const std::string& name) {
    std::string movie;
    const bool info = splitInfoName(name, movie);
    if (!info) {
        movie = name;
    }
    bool exists = false;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        exists = parent == InodeTable::kRoot && listed(movie) != nullptr;
    }
    if (!exists) {
        return errnoOf(Refusal::NoEntry);
    }
    if (info) {
        return errnoOf(Refusal::StreamDelete);
    }
    if (!options_.allowDelete) {
        return errnoOf(Refusal::DeleteRefused);
    }
    try {
        // Confirmed by the library: the named movie went, and nothing else.
        catalog_.remove(movie);
    } catch (const MovieError& error) {
        refresh();
        return failureErrno(error, true);
    }
    // Listed no more when rm returns.
    refresh();
    return 0;
}

int MountFs::getxattr(uint64_t ino, const std::string& name, std::string& value) {
    std::lock_guard<std::mutex> guard(stateLock_);
    InodeTable::Node* node = inodes_.node(ino);
    if (node != nullptr && !node->info) {
        const MovieEntry* entry = node->attached ? listed(node->movie) : nullptr;
        for (const auto& xattr : (entry != nullptr ? *entry : node->last).xattrs) {
            if (xattr.first == name) {
                value = xattr.second;
                return 0;
            }
        }
    }
    return errnoOf(Refusal::NoAttribute);
}

int MountFs::listxattr(uint64_t ino, std::string& names) {
    std::lock_guard<std::mutex> guard(stateLock_);
    InodeTable::Node* node = inodes_.node(ino);
    if (node != nullptr && !node->info) {
        const MovieEntry* entry = node->attached ? listed(node->movie) : nullptr;
        for (const auto& xattr : (entry != nullptr ? *entry : node->last).xattrs) {
            names += xattr.first;
            names.push_back('\0');
        }
    }
    return 0;
}

void MountFs::statfs(struct statvfs& st) {
    st = {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_namemax = 255;
    std::lock_guard<std::mutex> guard(stateLock_);
    uint64_t bytes = 0;
    for (const auto& movie : listing_) {
        bytes += movie.second.size;
    }
    st.f_blocks = (bytes + 4095) / 4096;
    st.f_files = listing_.size();
}

int MountFs::opendir(uint64_t ino, DirHandle*& dir) {
    if (ino != InodeTable::kRoot) {
        return errnoOf(Refusal::NotFolder);
    }
    refreshIfEmulator();
    auto made = std::make_unique<DirHandle>();
    std::lock_guard<std::mutex> guard(stateLock_);
    made->entries.emplace_back(".", InodeTable::kRoot);
    made->entries.emplace_back("..", InodeTable::kRoot);
    for (const auto& movie : listing_) {
        // A plain readdir hands the kernel no inode: none is made for it.
        const uint64_t known = inodes_.find(movie.first, false);
        made->entries.emplace_back(movie.first, known != 0 ? known : kUnknownIno);
    }
    dir = made.get();
    dirs_.emplace(dir, std::move(made));
    return 0;
}

void MountFs::releasedir(DirHandle* dir) {
    std::lock_guard<std::mutex> guard(stateLock_);
    dirs_.erase(dir);
}

}  // namespace vemcli::mount
