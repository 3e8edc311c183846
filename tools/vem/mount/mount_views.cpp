// MountFs's views: NAME.ome.tif and the NAME.zarr folder, laid out from the listing and read
// through the same block caches as the movies.
#include <sys/stat.h>

#include <cstring>
#include <stdexcept>

#include "mount/mount_fs.h"
#include "mount/reader_source.h"

namespace vemcli::mount {

namespace {

using zel::vem::MovieError;
using zel::vem::OmeTiffMovie;
using zel::vem::OmeTiffView;
using zel::vem::ZarrView;

// A frame the block cache could not give: the read fails as a whole.
struct FrameUnreadable {};

}  // namespace

std::shared_ptr<const zel::vem::FrameTimes> MountFs::timesOf(const MovieEntry& entry) {
    const std::string& name = entry.description.entryName;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        auto kept = viewData_.find(name);
        if (kept != viewData_.end() && kept->second.times && kept->second.entry.sameMovie(entry)) {
            return kept->second.times;
        }
    }
    // Fetched unlocked: the info stream is a request to the service. Two lookups at once may
    // both fetch; either result is the same movie's.
    auto times = std::make_shared<const zel::vem::FrameTimes>(
        zel::vem::frameTimesOf(catalog_, entry.description));
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* now = listed(name);
    if (now != nullptr && now->sameMovie(entry)) {
        ViewData& kept = viewData_[name];
        if (!kept.entry.sameMovie(entry)) {
            kept = ViewData();
        }
        kept.entry = *now;
        kept.times = times;
    }
    return times;
}

std::shared_ptr<const ZarrView> MountFs::zarrOf(const MovieEntry& entry) {
    const std::string& name = entry.description.entryName;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        auto kept = viewData_.find(name);
        // The texts hold the properties (the index among them): only an equal entry will do.
        if (kept != viewData_.end() && kept->second.zarr && kept->second.entry == entry) {
            return kept->second.zarr;
        }
    }
    const std::shared_ptr<const zel::vem::FrameTimes> times = timesOf(entry);
    auto zarr = std::make_shared<const ZarrView>(entry.description, times.get());
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* now = listed(name);
    if (now != nullptr && *now == entry) {
        ViewData& kept = viewData_[name];
        kept.entry = entry;
        kept.times = times;
        kept.zarr = zarr;
    }
    return zarr;
}

// The caller holds stateLock_.
void MountFs::forgetViews(const ListingChanges& changes, const Listing& fresh) {
    for (const std::string& name : changes.went) {
        viewData_.erase(name);
    }
    for (const std::string& name : changes.changed) {
        auto kept = viewData_.find(name);
        if (kept == viewData_.end()) {
            continue;
        }
        const MovieEntry& now = fresh.at(name);
        if (!kept->second.entry.sameMovie(now)) {
            viewData_.erase(kept);
            continue;
        }
        // The same movie renumbered or re-described: its times hold, its texts do not.
        kept->second.entry = now;
        kept->second.zarr.reset();
    }
}

int MountFs::lookupView(const RootName& what, const MovieEntry& entry, fuse_entry_param& e) {
    // The OME-TIFF's size follows from the listing alone: no frame and no info stream.
    uint64_t size = 0;
    try {
        size = OmeTiffView(OmeTiffMovie::of(entry.description)).size();
    } catch (const std::invalid_argument&) {
        return errnoOf(Refusal::NoEntry);
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* now = listed(what.movie);
    if (now == nullptr || !now->sameMovie(entry)) {
        return errnoOf(Refusal::NoEntry);
    }
    e.ino = inodes_.remember(what.movie, what.kind, *now);
    inodes_.node(e.ino)->size = size;
    fillAttr(e.attr, e.ino, *now, size, what.kind);
    e.attr_timeout = e.entry_timeout = timeout_;
    return 0;
}

int MountFs::lookupInZarr(uint64_t parent, const std::string& name, fuse_entry_param& e) {
    std::string movie;
    MovieEntry entry;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        InodeTable::Node* folder = inodes_.node(parent);
        if (folder == nullptr) {
            return errnoOf(Refusal::NoEntry);
        }
        if (folder->kind != NodeKind::ZarrFolder) {
            return errnoOf(Refusal::NotFolder);
        }
        const MovieEntry* listedEntry = folder->attached ? listed(folder->movie) : nullptr;
        if (listedEntry == nullptr) {
            return errnoOf(Refusal::NoEntry);
        }
        movie = folder->movie;
        entry = *listedEntry;
    }
    std::shared_ptr<const ZarrView> texts;
    std::optional<uint64_t> frame;
    uint64_t size = 0;
    try {
        // A chunk's name and size need no times: only the texts fetch the info stream.
        frame = ZarrView(entry.description, nullptr).chunkFrame(name);
        if (frame) {
            size = entry.frameBytes;
        } else if (name == ".zarray" || name == ".zattrs" || name == ".zmetadata") {
            texts = zarrOf(entry);
            size = texts->metadata(name)->size();
        } else {
            e.entry_timeout = timeout_;
            return 0;
        }
    } catch (const MovieError& error) {
        return failureErrno(error, true);
    }
    std::lock_guard<std::mutex> guard(stateLock_);
    const MovieEntry* now = listed(movie);
    if (now == nullptr || !now->sameMovie(entry)) {
        return errnoOf(Refusal::NoEntry);
    }
    e.ino = inodes_.remember(movie, NodeKind::ZarrFile, *now, name);
    InodeTable::Node* node = inodes_.node(e.ino);
    node->size = size;
    node->zarr = texts;
    node->frame = frame.value_or(0);
    fillAttr(e.attr, e.ino, *now, size, NodeKind::ZarrFile);
    e.attr_timeout = e.entry_timeout = timeout_;
    return 0;
}

int MountFs::openView(InodeTable::Node node, Handle& made) {
    if (node.kind == NodeKind::ZarrFolder) {
        return EISDIR;
    }
    if (node.kind == NodeKind::ZarrFile && node.zarr) {
        // The text the lookup sized: the kernel was told its length.
        const std::string* text = node.zarr->metadata(node.key);
        made.bytes = std::make_shared<const std::vector<uint8_t>>(text->begin(), text->end());
        return 0;
    }
    zel::vem::MovieReader reader = catalog_.open(node.movie);
    const zel::vem::MovieDescription& movie = reader.description();
    made.opened = entryOf(movie);
    if (node.kind == NodeKind::ZarrFile) {
        if (node.frame >= movie.frameCount) {
            return errnoOf(Refusal::Io);
        }
        // One frame's cache: the same loads as the movie's, from the frame's first byte.
        made.cache = std::make_shared<BlockCache>(
            std::make_unique<ReaderSource>(std::move(reader), node.frame * movie.frameBytes),
            movie.frameBytes, movie.frameBytes, &readAhead_);
        return 0;
    }
    // Times that cannot be had leave the planes without DeltaT; the layout stays as sized.
    const std::shared_ptr<const zel::vem::FrameTimes> times = timesOf(made.opened);
    std::shared_ptr<const std::vector<int64_t>> stamps;
    if (times->known() && times->nanoseconds.size() == movie.frameCount) {
        stamps = std::shared_ptr<const std::vector<int64_t>>(times, &times->nanoseconds);
    }
    try {
        made.view = std::make_shared<const OmeTiffView>(OmeTiffMovie::of(movie), stamps);
    } catch (const std::invalid_argument&) {
        return errnoOf(Refusal::Io);
    }
    made.cache = std::make_shared<BlockCache>(std::make_unique<ReaderSource>(std::move(reader)),
                                              made.opened.size, movie.frameBytes, &readAhead_);
    return 0;
}

int MountFs::readOmeTiff(Handle* handle, uint64_t offset, size_t size,
                         const BlockCache::Reply& reply) {
    // Copies: the kernel may release the handle once the reply is out.
    const std::shared_ptr<BlockCache> cache = handle->cache;
    const std::shared_ptr<const OmeTiffView> view = handle->view;
    if (!stillListed(handle->name, handle->opened)) {
        return errnoOf(Refusal::Io);
    }
    if (offset >= view->size()) {
        reply(nullptr, 0);
        return 0;
    }
    const size_t count = static_cast<size_t>(std::min<uint64_t>(size, view->size() - offset));
    // Every frame of the movie in order: the pixel data is the movie's bytes, read as the
    // movie is read.
    if (offset >= view->pixelOffset()) {
        return cache->read(offset - view->pixelOffset(), count, reply) ? 0 : errnoOf(Refusal::Io);
    }
    thread_local std::vector<uint8_t> buffer;
    buffer.resize(count);
    const uint64_t frameBytes = view->frameBytes();
    const zel::vem::FrameByteReader frames = [&](uint64_t frame, uint64_t at, void* out, size_t n) {
        bool whole = false;
        const bool read =
            cache->read(frame * frameBytes + at, n, [&](const uint8_t* bytes, size_t got) {
                whole = got == n;
                if (whole) {
                    std::memcpy(out, bytes, n);
                }
            });
        if (!read || !whole) {
            throw FrameUnreadable();
        }
    };
    try {
        if (view->read(offset, buffer.data(), count, frames) != count) {
            return errnoOf(Refusal::Io);
        }
    } catch (const FrameUnreadable&) {
        return errnoOf(Refusal::Io);
    }
    reply(buffer.data(), count);
    return 0;
}

int MountFs::opendirZarr(uint64_t ino, DirHandle& dir) {
    std::lock_guard<std::mutex> guard(stateLock_);
    InodeTable::Node* node = inodes_.node(ino);
    if (node == nullptr || node->kind != NodeKind::ZarrFolder) {
        return errnoOf(Refusal::NotFolder);
    }
    const MovieEntry& entry =
        node->attached && listed(node->movie) != nullptr ? *listed(node->movie) : node->last;
    dir.entries.push_back({".", ino, true});
    dir.entries.push_back({"..", InodeTable::kRoot, true});
    for (const char* name : {".zarray", ".zattrs", ".zmetadata"}) {
        const uint64_t known = inodes_.find(node->movie, NodeKind::ZarrFile, name);
        dir.entries.push_back({name, known != 0 ? known : kUnknownIno, false});
    }
    dir.chunks = entry.description.frameCount;
    return 0;
}

}  // namespace vemcli::mount
