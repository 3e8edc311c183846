// ServiceFile: one movie's file at the service, shared by every open of that movie in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/shared_section.h"
#include "suite/strings.h"

namespace zel::vem {

class CVemInterfacePrivate;

// What makes a movie the same movie to an open file: its entry name ("<number>-<name>") and
// recording time, plus the frame shape its bytes were laid out for. Not its position.
struct SMovieKey {
    std::u16string entryName;
    uint32_t rtcTime = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    bool operator<(const SMovieKey& o) const;
    bool operator==(const SMovieKey& o) const;
};

// The service keeps one file (one section) per position per connection, so two opens of one movie
// must not each ask for their own: the second would take the first one's section, and either's
// CloseFile would end both. Every open of a movie in this process shares one ServiceFile; the
// service hears CloseFile when the last user lets go.
//
// The file follows its movie: when a refresh moved the movie to another position, the next read
// maps the file at the new position. It retires for good (every later read fails) when the movie
// has left the drive, when the service it was mapped on has gone (the channel connected again
// since, so the service no longer knows the file), or when a user closed it.
class ServiceFile {
  public:
    ServiceFile(CVemInterfacePrivate& owner, SMovieKey key, uint32_t frameSize);
    // Tells the service, when this file is still the one it knows at its position.
    ~ServiceFile();
    ServiceFile(const ServiceFile&) = delete;
    ServiceFile& operator=(const ServiceFile&) = delete;

    const SMovieKey& key() const { return key_; }
    uint32_t frameSize() const { return frameSize_; }
    // Maps the file at `position`, where the movie list of `generation` put the movie, unless it
    // is mapped; true when it is usable. The identity is confirmed with the service afterwards.
    bool ensureMapped(uint32_t position, uint64_t generation);
    // Copies n bytes of frame `frame` from `offset` into `out`, loading the frame unless it is
    // the one in the section; false when the frame cannot be had (nothing copied then).
    bool copyFrame(uint64_t frame, uint32_t offset, uint8_t* out, uint32_t n);
    // Retired files never read again; new opens of the movie get a new file.
    bool retired() const { return retired_.load(); }
    // Ends the file at the service now (a user's Close); it retires. The result of CloseFile.
    bool close();

  private:
    // The caller holds lock_. Maps at `position`, with the channel held throughout.
    bool mapLocked(uint32_t position, uint64_t generation);
    // mapLocked's work; the caller holds lock_ and the channel.
    bool mapHeld(uint32_t position, uint64_t generation);
    // The caller holds lock_. Unmaps and gives the position back.
    void unmapLocked();
    // Gives position_ back: CloseFile, with the channel held, when the service still knows it as
    // ours. The result of CloseFile, false when it was not ours to end.
    bool letGoOfPosition();

    CVemInterfacePrivate& owner_;
    const SMovieKey key_;
    const uint32_t frameSize_;
    // Guards everything below: one frame's load and copy at a time, and the mapping. Lock order:
    // cacheLock (never taken while this is held), this lock, the request channel's lock, the
    // file table's lock.
    std::mutex lock_;
    SharedSection section_;
    bool mapped_ = false;
    uint32_t position_ = 0;
    // The list generation in which position_ was known to hold the movie.
    uint64_t generation_ = 0;
    // The channel's connection the file was mapped on.
    uint64_t connection_ = 0;
    int64_t loadedFrame_ = -1;
    std::atomic<bool> retired_{false};
    // Set (by the table, while the claiming file holds the request channel) when another file
    // was mapped at our position: the service has replaced ours there, so the next read must map
    // again. What reads rely on: every claim, GetFileMapping and CloseFile of a position happens
    // with the channel held, so a mapped file that holds the channel and is not displaced still
    // has, at the service, the very file (and section) it mapped.
    std::atomic<bool> displaced_{false};
    friend class ServiceFileTable;
};

// Every ServiceFile of the process, by movie, and which file holds each position at the service.
class ServiceFileTable {
  public:
    // The live file of the movie, or a new one (not yet mapped); never a retired one.
    std::shared_ptr<ServiceFile> acquire(CVemInterfacePrivate& owner, const SMovieKey& key,
                                         uint32_t frameSize);
    // Records that `file` now holds `position`; a file that held it before is displaced.
    void claim(uint32_t position, ServiceFile* file);
    // Whether `file` still holds `position`; if so it lets go of it.
    bool release(uint32_t position, ServiceFile* file);
    void forget(ServiceFile* file);

  private:
    // Guards files_ and holders_. A leaf: taken after a ServiceFile's lock and the channel's.
    std::mutex lock_;
    std::map<SMovieKey, std::weak_ptr<ServiceFile>> files_;
    std::unordered_map<uint32_t, ServiceFile*> holders_;
};

}  // namespace zel::vem
