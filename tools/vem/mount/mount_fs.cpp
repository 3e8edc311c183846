// MountFs: the requests, answered from the listing, the inodes and the open files.
#include "mount/mount_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "mount/errors.h"
#include "mount/readahead_tuning.h"
#include "mount/reader_source.h"

namespace vemcli::mount {

namespace {

using zel::vem::MovieError;
using zel::vem::MovieFailure;

// Info streams larger than this are refused rather than held in memory.
constexpr size_t kLargestInfo = 64 << 20;

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
                       NodeKind kind) const {
    st = {};
    st.st_ino = ino;
    if (kind == NodeKind::ZarrFolder) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2;
    } else {
        // Only a movie itself can be removed; its stream and views go with it.
        const bool removable = kind == NodeKind::Movie && options_.allowDelete;
        st.st_mode = S_IFREG | (removable ? 0644 : 0444);
        st.st_nlink = 1;
        st.st_size = static_cast<off_t>(size);
        st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    }
    st.st_uid = getuid();
    st.st_gid = getgid();
    // cat and cp read in pieces of this size.
    st.st_blksize = 1 << 20;
    st.st_mtim.tv_sec = static_cast<time_t>(entry.recordingTime);
    st.st_ctim = st.st_mtim;
    st.st_atim = st.st_mtim;
}

// ---- requests ----

int MountFs::lookup(uint64_t parent, const std::string& name, fuse_entry_param& e) {
    refreshIfEmulator();
    e = {};
    if (parent != InodeTable::kRoot) {
        return lookupInZarr(parent, name, e);
    }
    RootName what;
    MovieEntry entry;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        const std::optional<RootName> found = resolveRootName(listing_, name, options_.views);
        if (!found) {
            // A negative entry: the notifier drops it when such a movie appears.
            e.entry_timeout = timeout_;
            return 0;
        }
        what = *found;
        const MovieEntry& listedEntry = *listed(what.movie);
        if (what.kind == NodeKind::Movie || what.kind == NodeKind::ZarrFolder) {
            e.ino = inodes_.remember(what.movie, what.kind, listedEntry);
            fillAttr(e.attr, e.ino, listedEntry, listedEntry.size, what.kind);
            e.attr_timeout = e.entry_timeout = timeout_;
            return 0;
        }
        entry = listedEntry;
    }
    if (what.kind != NodeKind::Info) {
        return lookupView(what, entry, e);
    }
    // The info stream's size is known only by fetching it; the kernel caches neither.
    std::vector<uint8_t> bytes;
    try {
        bytes = catalog_.infoStream(what.movie);
    } catch (const MovieError& error) {
        return failureErrno(error, true);
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* now = listed(what.movie);
    if (now == nullptr) {
        return errnoOf(Refusal::NoEntry);
    }
    e.ino = inodes_.remember(what.movie, NodeKind::Info, *now);
    inodes_.node(e.ino)->size = bytes.size();
    fillAttr(e.attr, e.ino, *now, bytes.size(), NodeKind::Info);
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
    const bool info = node->kind == NodeKind::Info;
    const MovieEntry* entry = node->attached ? listed(node->movie) : nullptr;
    if (entry != nullptr) {
        fillAttr(st, ino, *entry, node->kind == NodeKind::Movie ? entry->size : node->size,
                 node->kind);
        timeout = info ? 0 : timeout_;
        return 0;
    }
    // The movie went while the kernel held its inode, maybe for an open file: as a removed
    // file's, its last attributes, so that reading an open one fails with EIO, not ENOENT.
    fillAttr(st, ino, node->last, node->kind == NodeKind::Movie ? node->last.size : node->size,
             node->kind);
    st.st_nlink = 0;
    timeout = 0;
    return 0;
}

int MountFs::open(uint64_t ino, int flags, Handle*& handle, bool& directIo) {
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0) {
        return errnoOf(Refusal::ReadOnly);
    }
    auto made = std::make_unique<Handle>();
    InodeTable::Node node;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        InodeTable::Node* found = inodes_.node(ino);
        if (found == nullptr || !found->attached) {
            return errnoOf(Refusal::NoEntry);
        }
        node = *found;
        made->name = node.movie;
    }
    const bool info = node.kind == NodeKind::Info;
    directIo = false;
    try {
        if (info) {
            made->bytes =
                std::make_shared<const std::vector<uint8_t>>(catalog_.infoStream(made->name));
            if (made->bytes->size() > kLargestInfo) {
                return errnoOf(Refusal::Io);
            }
            // Served as fetched now, whatever size the kernel was told at the lookup.
            directIo = true;
        } else if (node.kind != NodeKind::Movie) {
            if (const int error = openView(node, *made)) {
                return error;
            }
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
    if (made->cache && !stillListed(made->name, made->opened)) {
        // The reader saw the drive after the mount's copy was taken: catch up, so that reads
        // are checked against the movie they read.
        refresh();
    }
    if (made->cache) {
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
        // A copy: the kernel may take the reply and release the handle while the reply call is
        // still reading the buffer (a sanitizer checks it after the write returns).
        const std::shared_ptr<const std::vector<uint8_t>> bytes = handle->bytes;
        const uint64_t total = bytes->size();
        const uint64_t at = std::min<uint64_t>(static_cast<uint64_t>(offset), total);
        reply(bytes->data() + at, static_cast<size_t>(std::min<uint64_t>(size, total - at)));
        return 0;
    }
    if (handle->view) {
        return readOmeTiff(handle, static_cast<uint64_t>(offset), size, reply);
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
    std::optional<RootName> what;
    if (parent == InodeTable::kRoot) {
        std::lock_guard<std::mutex> guard(stateLock_);
        what = resolveRootName(listing_, name, options_.views);
    } else {
        return errnoOf(Refusal::ReadOnly);  // a file of a Zarr folder
    }
    if (!what) {
        return errnoOf(Refusal::NoEntry);
    }
    if (what->kind != NodeKind::Movie) {
        return errnoOf(Refusal::StreamDelete);
    }
    const std::string& movie = what->movie;
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
    if (node != nullptr && node->kind == NodeKind::Movie) {
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
    if (node != nullptr && node->kind == NodeKind::Movie) {
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
    refreshIfEmulator();
    auto made = std::make_unique<DirHandle>();
    if (ino != InodeTable::kRoot) {
        if (const int error = opendirZarr(ino, *made)) {
            return error;
        }
    } else {
        made->entries.push_back({".", InodeTable::kRoot, true});
        made->entries.push_back({"..", InodeTable::kRoot, true});
        std::lock_guard<std::mutex> guard(stateLock_);
        for (auto& [name, what] : rootEntries(listing_, options_.views)) {
            // A plain readdir hands the kernel no inode: none is made for it.
            const uint64_t known = inodes_.find(what.movie, what.kind);
            made->entries.push_back({std::move(name), known != 0 ? known : kUnknownIno,
                                     what.kind == NodeKind::ZarrFolder});
        }
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    dir = made.get();
    dirs_.emplace(dir, std::move(made));
    return 0;
}

void MountFs::releasedir(DirHandle* dir) {
    std::lock_guard<std::mutex> guard(stateLock_);
    dirs_.erase(dir);
}

}  // namespace vemcli::mount
