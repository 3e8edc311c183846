// CVemInterfacePrivate: all state of the drive interface, kept out of the public header.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/movie_info.h"
#include "service/service_channel.h"
#include "suite/array.h"
#include "suite/delegate.h"
#include "suite/strings.h"
#include "suite/sync.h"
#include "vem/service_file.h"

namespace zel::vem {

class CVemInterface;

inline constexpr uint32_t kNoQueue = 0xFFFFFFFF;

// "<number>-<name>", a movie's entry name.
CStringW movieEntryName(const SVemMovieInfo& movie);

class CVemInterfacePrivate {
  public:
    // Reads the emulator switch, ZELVEM_TIMEOUT_MS and ZELVEM_RECONNECT; connects nothing (the
    // owner's constructor does that).
    CVemInterfacePrivate();
    ~CVemInterfacePrivate();

    // Re-reads the whole movie list from the service, then calls every files-changed handler.
    // Holds cacheLock throughout, including the service requests and the handler calls. False
    // when the movie count could not be had (the cache is then empty) or a record could not be
    // read (it is then zeros, or partly).
    bool refresh();
    // One reading of the count, every record and the count again; false when the list was torn
    // by a change meanwhile or a record could not be read. The caller holds cacheLock.
    bool readListLocked();
    // Rebuilds movieIndex from movies; on failure (allocation) empties both, so the two never
    // disagree. The caller holds cacheLock.
    void rebuildIndexLocked();
    // The position of the first cached movie whose entry name is `entryName`, as a scan of
    // movies would find it; false when there is none. The caller holds cacheLock.
    bool findMovieLocked(const CStringW& entryName, uint32_t& position) const;
    // Body of eventThread: connects the event channel and opens the event queue, signals
    // `started`, then waits for events.
    void eventLoop(CEvent* started);
    // Drops one reference; the last one runs the shut-down: ends the event queue, joins the event
    // thread, disconnects both channels and frees the state.
    static void release(CVemInterfacePrivate* p);
    // Calls every registered handler in registration order; the caller holds cacheLock.
    void notifyHandlersLocked();
    // Where the movie list puts the movie `key`, with the list's generation: Here (position set),
    // Gone (the complete list has no such movie), Unknown (the list could not be read whole).
    enum class Located { Here, Gone, Unknown };
    Located locate(const SMovieKey& key, uint32_t& position, uint64_t& generation);
    // Asks the service (not the list, which may lag) whether `position` holds the movie `key`:
    // Yes, Other (it holds another movie, or none: the list is behind), or NoAnswer.
    enum class Held { Yes, Other, NoAnswer };
    Held serviceHolds(uint32_t position, const SMovieKey& key);
    // The key of the listed movie at `position`; the caller holds cacheLock.
    SMovieKey keyAtLocked(uint32_t position) const;

    // What a removal did (CVemInterface::RemoveFile reports only Removed as success).
    enum class Removal { Removed, NotFound, Refused, Unconfirmed, Busy, WrongMovie, Changing };
    // Removes the movie of entry name `entryName`: confirmed with the service right before the
    // removal (under the clients' removal lock), then checked against the refreshed list.
    // `other` names the movie that went instead, for WrongMovie.
    Removal removeMovie(const CStringW& entryName, std::u16string& other);

    // Field order is the order of destruction in reverse: cacheLock goes first, movies last.
    TArray<SVemMovieInfo> movies;
    // Per record of movies: whether it was read whole. A record the service failed part-way is
    // kept in place (positions stay the service's) but never listed or found.
    std::vector<uint8_t> whole;
    // Whether the last refresh read the count and every record.
    bool listComplete = false;
    // Entry name ("<number>-<name>") to the first position in movies with that name, so a lookup
    // costs the same on a drive of any size. Rebuilt with movies by every refresh.
    std::unordered_map<std::u16string, uint32_t> movieIndex;
    // Read and written without a lock: hosts do not change it while other threads resolve paths.
    CStringW workingDirectory;
    ServiceChannel requestChannel;
    // Used only by the event thread while it runs (it holds this channel's lock while waiting).
    ServiceChannel eventChannel;
    std::thread eventThread;
    // Written by the event thread (when it opens a queue, also after reconnecting), read by the
    // destructor.
    std::atomic<uint32_t> queueId{kNoQueue};
    TArray<delegate<void()>> filesChangedHandlers;
    // Guards movies, movieIndex and filesChangedHandlers (recursive: a handler may call back in on
    // the same thread). Lock order: cacheLock first, then a channel's lock; never the reverse.
    CCriticalSection cacheLock;
    bool emulator = false;
    // ZELVEM_TIMEOUT_MS, 0 when unset: the limit of every request exchange.
    uint32_t requestTimeoutMs = 0;
    // The limit of each exchange that start-up and shut-down make: ZELVEM_TIMEOUT_MS or 5 s.
    uint32_t lifecycleTimeoutMs = 0;
    // ZELVEM_RECONNECT set and non-empty.
    bool reconnect = false;
    // Counts refreshes: a file or an open in progress that sees it unchanged knows that the
    // positions it relies on still hold. Written under cacheLock.
    std::atomic<uint64_t> generation{0};
    // Set by shut-down before it ends the queue, so the event thread no longer reconnects.
    std::atomic<bool> stopping{false};
    CEvent stopRequested{true, false};

    // Set by the event thread when its loop has ended, so shut-down can wait with a limit.
    CEvent eventLoopEnded{true, false};
    // The open files of the process, one per movie (vem/service_file.h).
    ServiceFileTable files;
    // Objects sharing this state (the original and its copies); the last one shuts it down.
    std::atomic<int> references{1};
};

}  // namespace zel::vem
