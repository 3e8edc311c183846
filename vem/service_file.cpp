// ServiceFile: the shared per-movie file at the service, following its movie, and its table.
#include "vem/service_file.h"

#include <tuple>

#include "vem/vem_interface_private.h"

namespace zel::vem {

bool SMovieKey::operator<(const SMovieKey& o) const {
    return std::tie(entryName, rtcTime, width, height) <
           std::tie(o.entryName, o.rtcTime, o.width, o.height);
}

bool SMovieKey::operator==(const SMovieKey& o) const {
    return entryName == o.entryName && rtcTime == o.rtcTime && width == o.width &&
           height == o.height;
}

ServiceFile::ServiceFile(CVemInterfacePrivate& owner, SMovieKey key, uint32_t frameSize)
    : owner_(owner), key_(std::move(key)), frameSize_(frameSize) {}

ServiceFile::~ServiceFile() {
    unmapLocked();  // the last reference is gone: nobody else can hold lock_
    owner_.files.forget(this);
}

bool ServiceFile::mapLocked(uint32_t position, uint64_t generation) {
    ServiceChannel& channel = owner_.requestChannel;
    // Held from the claim to the confirmation, so that no other file of ours maps, loads or ends
    // a file at this position in between: the claim, the file the service sets up and the
    // identity confirmed all concern one and the same file.
    if (!channel.hold()) {
        return false;
    }
    const bool mapped = mapHeld(position, generation);
    channel.release();
    return mapped;
}

bool ServiceFile::mapHeld(uint32_t position, uint64_t generation) {
    ServiceChannel& channel = owner_.requestChannel;
    const uint64_t connection = channel.connectionCount();
    CString mapping;
    SharedSection section;
    // Cleared before the claim: a claim by another file from then on must stay visible.
    displaced_ = false;
    // Claimed before the service is asked: the file that held the position is marked displaced
    // before its file at the service is replaced, so its next frame maps again instead of
    // loading into a section it no longer has.
    owner_.files.claim(position, this);
    // A section smaller than one frame would be read past its end.
    if (!channel.GetFileMapping(position, mapping) || !section.open(mapping.c_str()) ||
        section.size() < frameSize_) {
        // The service may have set up a file at the position before failing: it is ours to end.
        if (owner_.files.release(position, this)) {
            channel.CloseFile(position);
        }
        return false;
    }
    section_ = std::move(section);
    mapped_ = true;
    position_ = position;
    generation_ = generation;
    connection_ = connection;
    loadedFrame_ = -1;
    // The list may lag the service: confirm that the service set up this file for our movie, and
    // on the connection we counted (a reconnection in between would make it another service's).
    // The list saw the movie at this position before the file was set up and the service sees it
    // there after; a movie only ever moves towards the front (removals close gaps, recordings
    // are added at the end), so it was there all along and the file is the movie's.
    if (owner_.serviceHolds(position, key_) != CVemInterfacePrivate::Held::Yes ||
        channel.connectionCount() != connection) {
        unmapLocked();
        return false;
    }
    return true;
}

void ServiceFile::unmapLocked() {
    if (!mapped_) {
        return;
    }
    mapped_ = false;
    loadedFrame_ = -1;
    section_.close();
    letGoOfPosition();
}

bool ServiceFile::letGoOfPosition() {
    // Only the file the service still knows at that position on this connection is ours to end:
    // after a displacement or a reconnection the position belongs to another file. The channel
    // is held from the check to the CloseFile: otherwise another file of ours could claim the
    // position and have the service set up its file in between, and our CloseFile would end it.
    ServiceChannel& channel = owner_.requestChannel;
    if (!channel.hold()) {
        // A service that does not answer would not hear CloseFile either; the position is free
        // for our next file there, whose GetFileMapping replaces this one at the service.
        owner_.files.release(position_, this);
        return false;
    }
    const bool ours = owner_.files.release(position_, this);
    const bool closed =
        ours && channel.connectionCount() == connection_ && channel.CloseFile(position_);
    channel.release();
    return closed;
}

bool ServiceFile::ensureMapped(uint32_t position, uint64_t generation) {
    std::lock_guard<std::mutex> guard(lock_);
    if (retired_) {
        return false;
    }
    if (mapped_ && !displaced_ && connection_ == owner_.requestChannel.connectionCount()) {
        return true;
    }
    if (mapped_ && connection_ != owner_.requestChannel.connectionCount()) {
        // Mapped on a connection that is gone: the service it was set up on forgot it.
        unmapLocked();
        retired_ = true;
        return false;
    }
    unmapLocked();
    return mapLocked(position, generation);
}

bool ServiceFile::copyFrame(uint64_t frame, uint32_t offset, uint8_t* out, uint32_t n) {
    ServiceChannel& channel = owner_.requestChannel;
    // A refresh between looking the movie up and loading the frame makes us look again; more
    // refreshes than that during one frame fail the read rather than spin.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (retired_) {
            return false;
        }
        // Per frame only a counter is compared; the list is consulted after a refresh.
        uint32_t position = 0;
        uint64_t generation = owner_.generation.load();
        bool located = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            located = mapped_ && !displaced_ && generation_ == generation;
            position = position_;
        }
        if (!located) {
            switch (owner_.locate(key_, position, generation)) {
                case CVemInterfacePrivate::Located::Here:
                    break;
                case CVemInterfacePrivate::Located::Gone:
                    retired_ = true;
                    return false;
                case CVemInterfacePrivate::Located::Unknown:
                    return false;
            }
        }
        std::lock_guard<std::mutex> guard(lock_);
        if (retired_) {
            return false;
        }
        if (mapped_ && connection_ != channel.connectionCount()) {
            unmapLocked();
            retired_ = true;
            return false;
        }
        if (!mapped_ || displaced_ || position_ != position) {
            unmapLocked();
            if (!mapLocked(position, generation)) {
                return false;
            }
        }
        generation_ = generation;
        if (!channel.hold()) {
            return false;
        }
        // With the channel held no other file of ours can map, load or close, so the position
        // checked above is the one the frame is loaded from, unless a refresh began meanwhile or
        // another file claimed the position before we held the channel (claims are made with
        // the channel held: a later one waits for our release).
        bool copied = false;
        const bool unchanged = owner_.generation.load() == generation &&
                               connection_ == channel.connectionCount() && !displaced_;
        if (unchanged) {
            if (loadedFrame_ != static_cast<int64_t>(frame)) {
                loadedFrame_ = -1;
                if (channel.LoadFrame(position_, frame)) {
                    loadedFrame_ = static_cast<int64_t>(frame);
                }
            }
            // A section the service shrank since it was mapped comes back short: the frame is
            // lost, as if LoadFrame had failed, and the next read asks for it again.
            if (loadedFrame_ == static_cast<int64_t>(frame)) {
                copied = section_.readAt(offset, out, n) == n;
                if (!copied) {
                    loadedFrame_ = -1;
                }
            }
        }
        channel.release();
        if (unchanged) {
            // A connection that broke during the load leaves a file the service has forgotten.
            if (!copied && connection_ != channel.connectionCount()) {
                unmapLocked();
                retired_ = true;
            }
            return copied;
        }
    }
    return false;
}

bool ServiceFile::close() {
    std::lock_guard<std::mutex> guard(lock_);
    retired_ = true;
    if (!mapped_) {
        return false;
    }
    mapped_ = false;
    loadedFrame_ = -1;
    section_.close();
    return letGoOfPosition();
}

std::shared_ptr<ServiceFile> ServiceFileTable::acquire(CVemInterfacePrivate& owner,
                                                       const SMovieKey& key, uint32_t frameSize) {
    // A retired file we may be the last to hold goes after the lock is let go: its destructor
    // closes it at the service and takes this lock itself.
    std::shared_ptr<ServiceFile> retired;
    std::lock_guard<std::mutex> guard(lock_);
    std::weak_ptr<ServiceFile>& slot = files_[key];
    std::shared_ptr<ServiceFile> file = slot.lock();
    if (file && !file->retired()) {
        return file;
    }
    retired = std::move(file);
    file = std::make_shared<ServiceFile>(owner, key, frameSize);
    slot = file;
    return file;
}

void ServiceFileTable::claim(uint32_t position, ServiceFile* file) {
    std::lock_guard<std::mutex> guard(lock_);
    ServiceFile*& holder = holders_[position];
    if (holder != nullptr && holder != file) {
        holder->displaced_ = true;
    }
    holder = file;
}

bool ServiceFileTable::release(uint32_t position, ServiceFile* file) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = holders_.find(position);
    if (found == holders_.end() || found->second != file) {
        return false;
    }
    holders_.erase(found);
    return true;
}

void ServiceFileTable::forget(ServiceFile* file) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = files_.find(file->key());
    if (found != files_.end() && found->second.expired()) {
        files_.erase(found);
    }
    for (auto it = holders_.begin(); it != holders_.end(); ++it) {
        if (it->second == file) {
            holders_.erase(it);
            break;
        }
    }
}

}  // namespace zel::vem
