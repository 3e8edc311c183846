// MountFs's life and its listing: the first listing, the drive's changes, and the thread that
// tells the kernel about them.
#include "mount/mount_fs.h"

#include <time.h>

namespace vemcli::mount {

using zel::vem::MovieError;
using zel::vem::MovieFailure;

void MountFs::start() {
    // The callback runs on the library's thread, under its locks: it only marks the listing
    // stale; the notifier takes the new one.
    subscription_ = catalog_.subscribe([this] {
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            stale_ = true;
        }
        queueWake_.notify_all();
    });
    refresh();
}

void MountFs::startSession(fuse_session* session, const std::string& readAheadPath) {
    readAheadPath_ = readAheadPath;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        session_ = session;
        queue_.clear();  // names from before the mount: the kernel holds nothing yet
    }
    notifier_ = std::thread([this] { notifyLoop(); });
}

void MountFs::stopSession() {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = true;
    }
    queueWake_.notify_all();
    if (notifier_.joinable()) {
        notifier_.join();
    }
    readAhead_.stop();
}

void MountFs::stop() {
    if (subscription_ != 0) {
        catalog_.unsubscribe(subscription_);
        subscription_ = 0;
    }
    std::unordered_map<Handle*, std::unique_ptr<Handle>> handles;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        handles.swap(handles_);
        dirs_.clear();
    }
    for (auto& handle : handles) {
        if (handle.second->cache) {
            handle.second->cache->close();
        }
    }
}

// Runs on the notifier thread after the library's listing changed, on a request's thread after
// a removal, and on demand in emulator mode. The kernel is told by the notifier thread: telling
// it here could wait for a folder lock that a request blocked on the mount holds.
void MountFs::refresh() {
    std::lock_guard<std::mutex> serial(refreshLock_);
    Listing fresh;
    try {
        fresh = listingOf(catalog_.list());
    } catch (const MovieError& error) {
        if (error.failure() != MovieFailure::NoDrive) {
            return;  // a listing that failed half-way: keep the last whole one
        }
        // No service or no drive: no movies until one is back.
    }
    std::vector<Invalidation> work;
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        const ListingChanges changes = diffListings(listing_, fresh);
        // Every name a movie shows: itself and, while shown, its views.
        const auto names = [this](const std::string& movie) {
            std::vector<std::string> all = {movie};
            if (options_.views) {
                all.push_back(rootNameOf(movie, NodeKind::OmeTiff));
                all.push_back(rootNameOf(movie, NodeKind::ZarrFolder));
            }
            return all;
        };
        for (const std::string& name : changes.changed) {
            const uint64_t ino = inodes_.find(name, NodeKind::Movie);
            if (ino != 0) {
                work.push_back({std::string(), ino});
                inodes_.node(ino)->last = fresh.at(name);
            }
            // The Zarr texts hold the properties: a fresh folder at the next lookup.
            const uint64_t zarr = inodes_.find(name, NodeKind::ZarrFolder);
            if (zarr != 0) {
                work.push_back({std::string(), zarr});
                work.push_back({rootNameOf(name, NodeKind::ZarrFolder), 0});
            }
            inodes_.detach(name, true);
        }
        // A name that went, or that now names another movie, leads to a fresh inode at its next
        // lookup; the old one serves the handles still open on it until the kernel forgets it.
        std::vector<std::string> detached = changes.went;
        detached.insert(detached.end(), changes.replaced.begin(), changes.replaced.end());
        for (const std::string& name : detached) {
            for (const uint64_t ino : inodes_.inodesOf(name)) {
                work.push_back({std::string(), ino});
            }
            for (std::string& shown : names(name)) {
                work.push_back({std::move(shown), 0});
            }
            inodes_.detach(name);
        }
        for (const std::string& name : changes.appeared) {
            for (std::string& shown : names(name)) {
                work.push_back({std::move(shown), 0});  // a negative entry the kernel may hold
            }
        }
        forgetViews(changes, fresh);
        listing_.swap(fresh);
        lastRefresh_ = std::chrono::steady_clock::now();
        if (!work.empty()) {
            clock_gettime(CLOCK_REALTIME, &rootTime_);
            work.push_back({std::string(), InodeTable::kRoot});
        }
    }
    if (!work.empty()) {
        {
            std::lock_guard<std::mutex> guard(queueLock_);
            if (session_ == nullptr) {
                return;
            }
            queue_.insert(queue_.end(), work.begin(), work.end());
        }
        queueWake_.notify_all();
    }
}

// The emulator folder announces nothing; look at it again when asked after a short while.
void MountFs::refreshIfEmulator() {
    if (!emulator_) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(stateLock_);
        if (std::chrono::steady_clock::now() - lastRefresh_ < std::chrono::milliseconds(500)) {
            return;
        }
    }
    refresh();
}

void MountFs::notifyLoop() {
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        queueWake_.wait(guard, [this] { return stopping_ || stale_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        if (stale_) {
            stale_ = false;
            guard.unlock();
            refresh();
            guard.lock();
            continue;
        }
        Invalidation next = std::move(queue_.front());
        queue_.pop_front();
        fuse_session* session = session_;
        guard.unlock();
        // ENOENT only means the kernel had nothing cached.
        if (next.ino != 0) {
            fuse_lowlevel_notify_inval_inode(session, next.ino, 0, 0);
        } else {
            fuse_lowlevel_notify_inval_entry(session, FUSE_ROOT_ID, next.name.c_str(),
                                             next.name.size());
        }
        guard.lock();
    }
}

}  // namespace vemcli::mount
