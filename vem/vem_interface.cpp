// CVemInterface: the singleton's life (start-up, shut-down), the movie-list cache and the handlers.
#include "vem/vem_interface.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "suite/uri_handler.h"
#include "vem/process_state.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

namespace {

// How long shut-down waits for the service to end the event thread's wait after the queue was
// destroyed, before it breaks the wait itself. A well-behaved service answers at once.
constexpr uint32_t kEventThreadGraceMs = 5000;

// How long each exchange of start-up and shut-down waits for a service that does not answer,
// unless ZELVEM_TIMEOUT_MS says otherwise: a host always starts and always exits.
constexpr uint32_t kDefaultLifecycleTimeoutMs = 5000;

// More movies than any drive holds; a larger count from the service is not believed.
constexpr uint32_t kMaxMovies = 1u << 20;

// How often a refresh reads a list that changed while it was read.
constexpr int kListPasses = 3;

// An empty value counts as unset, as for every switch of the library.
bool switchSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// ZELVEM_TIMEOUT_MS: 1 to 999999999 milliseconds. Anything else (empty, 0, not a plain decimal
// number) leaves the variable unset rather than guessing what was meant.
uint32_t timeoutFromEnvironment() {
    const char* value = std::getenv("ZELVEM_TIMEOUT_MS");
    if (value == nullptr || value[0] == '\0' || std::strlen(value) > 9 ||
        std::strspn(value, "0123456789") != std::strlen(value)) {
        return 0;
    }
    return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

}  // namespace

CVemInterfacePrivate::CVemInterfacePrivate()
    : emulator(switchSet("ZELVEM_ENABLE_EMULATOR")),
      requestTimeoutMs(timeoutFromEnvironment()),
      lifecycleTimeoutMs(requestTimeoutMs > 0 ? requestTimeoutMs : kDefaultLifecycleTimeoutMs),
      reconnect(switchSet("ZELVEM_RECONNECT")) {}

CVemInterfacePrivate::~CVemInterfacePrivate() = default;

void CVemInterfacePrivate::notifyHandlersLocked() {
    // A handler may add or remove handlers (the lock is recursive), so the count is read anew on
    // every step rather than iterating over a snapshot.
    for (uint32_t i = 0; i < filesChangedHandlers.size(); ++i) {
        // A copy: the handler may remove itself while it runs.
        delegate<void()> handler = filesChangedHandlers[i];
        try {
            handler();
        } catch (...) {
            // One failing handler must neither keep the others from hearing of the change nor
            // end the event thread (where an escaping exception would end the process).
        }
    }
}

bool CVemInterfacePrivate::refresh() {
    CAutoLock guard(cacheLock);
    // Positions change from here on: open files and opens in progress must look again.
    ++generation;
    bool complete = false;
    // The list is read one record at a time while other clients may change the drive: a removal
    // part-way shifts the later records, so one movie is read twice and the next not at all.
    // A count that differs after the records, or a record that failed, shows such a torn list;
    // it is read again, a few times at most.
    for (int pass = 0; pass < kListPasses && !complete; ++pass) {
        complete = readListLocked();
    }
    listComplete = complete;
    notifyHandlersLocked();
    return complete;
}

bool CVemInterfacePrivate::readListLocked() {
    movies.clear();
    movieIndex.clear();
    whole.clear();
    uint32_t count = 0;
    // A count no drive could hold would only make a broken service cost gigabytes of cache and
    // millions of requests: it is treated like a failed request.
    if (!requestChannel.GetMovieCount(count) || count > kMaxMovies) {
        return false;
    }
    // resize() grows by doubling and zero-fills: a record whose request fails part-way keeps
    // the fields read before the failure and zeros in the rest.
    movies.resize(count);
    whole.assign(count, 0);
    bool complete = true;
    for (uint32_t i = 0; i < count; ++i) {
        // A record that failed (a reply in error, a movie removed while the list is read, a
        // channel another thread's exchange broke) is asked for once more; a record that still
        // fails is kept out of sight, never listed half-read.
        for (int attempt = 0; attempt < 2 && !whole[i]; ++attempt) {
            movies[i] = SVemMovieInfo{};
            whole[i] = requestChannel.GetMovieInfo(i, movies[i]) ? 1 : 0;
        }
        complete = complete && whole[i];
    }
    rebuildIndexLocked();
    uint32_t after = 0;
    return complete && requestChannel.GetMovieCount(after) && after == count;
}

SMovieKey CVemInterfacePrivate::keyAtLocked(uint32_t position) const {
    const SVemMovieInfo& movie = movies[position];
    return SMovieKey{movieEntryName(movie).str(), movie.rtcTime, movie.width, movie.height};
}

CVemInterfacePrivate::Located CVemInterfacePrivate::locate(const SMovieKey& key, uint32_t& position,
                                                           uint64_t& seenGeneration) {
    CAutoLock guard(cacheLock);
    seenGeneration = generation.load();
    auto found = movieIndex.find(key.entryName);
    if (found != movieIndex.end() && keyAtLocked(found->second) == key) {
        position = found->second;
        return Located::Here;
    }
    // A list that could not be read whole proves nothing about a movie missing from it.
    return listComplete ? Located::Gone : Located::Unknown;
}

CVemInterfacePrivate::Held CVemInterfacePrivate::serviceHolds(uint32_t position,
                                                              const SMovieKey& key) {
    SVemMovieInfo movie{};
    if (!requestChannel.GetMovieInfo(position, movie)) {
        // A position past the end is refused with an error reply, and the channel stays up:
        // that is an answer (no movie there), a broken channel is not.
        return requestChannel.isConnected() ? Held::Other : Held::NoAnswer;
    }
    return SMovieKey{movieEntryName(movie).str(), movie.rtcTime, movie.width, movie.height} == key
               ? Held::Yes
               : Held::Other;
}

namespace {

// How often the event thread tries a refresh that could not read the whole list, with
// reconnection on, about a second apart: long enough to outlast a service that is busy
// accepting other connections or a slow machine, short of retrying for ever while it is gone
// (the event channel then fails too and seeks the service on its own).
constexpr int kRefreshAttempts = 10;

// A refresh on the event thread must not let an exception out (that would end the process).
void refreshOnEventThread(CVemInterfacePrivate& p) {
    // With reconnection on, a change must not be lost to a request channel that broke a moment
    // ago (and may not connect again for up to a second): no later event would repair the list.
    // So a refresh that could not read the whole list is tried again, after the channel was
    // renewed when it broke.
    for (int pass = 0; pass < kRefreshAttempts; ++pass) {
        if (p.reconnect) {
            p.requestChannel.reconnectWhenDue();
        }
        bool listed = false;
        try {
            listed = p.refresh();
        } catch (const std::bad_alloc&) {
            // The cache could not grow; refresh left it empty. Later changes may fit.
        }
        if (listed || !p.reconnect || p.stopping) {
            break;
        }
        // Shut-down sets stopRequested: it must not wait out the remaining attempts.
        if (p.stopRequested.Wait(
                static_cast<uint32_t>(ServiceChannel::kReconnectInterval.count()))) {
            break;
        }
    }
}

}  // namespace

void CVemInterfacePrivate::eventLoop(CEvent* started) {
    uint32_t id = kNoQueue;
    bool opened = eventChannel.CheckVersion() && eventChannel.CreateEventQueue(id);
    if (opened) {
        queueId = id;
    }
    started->Signal();  // not touched again: the constructor destroys it once it wakes
    if (!opened && !reconnect) {
        eventLoopEnded.Signal();
        return;
    }
    auto lastAttempt = std::chrono::steady_clock::now();
    for (;;) {
        if (opened) {
            SVemEvent event{};
            while (eventChannel.WaitEvent(queueId, event) && event.type != 0) {
                if (event.type == 1) {
                    refreshOnEventThread(*this);
                }
            }
        }
        // The wait failed, or the service ended the queue without being asked: with reconnection
        // on, the service is sought again once a second until it answers or shut-down begins.
        if (!reconnect || stopping) {
            break;
        }
        eventChannel.disconnect();
        queueId = kNoQueue;
        const auto due = lastAttempt + ServiceChannel::kReconnectInterval;
        const auto now = std::chrono::steady_clock::now();
        if (due > now &&
            stopRequested.Wait(static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1))) {
            break;
        }
        if (stopping) {
            break;
        }
        lastAttempt = std::chrono::steady_clock::now();
        opened = eventChannel.CheckVersion() && eventChannel.CreateEventQueue(id);
        if (opened) {
            queueId = id;
            refreshOnEventThread(*this);
        }
    }
    eventChannel.disconnect();
    eventLoopEnded.Signal();
}

CVemInterface::CVemInterface() : d(new CVemInterfacePrivate) {
    CVemInterfacePrivate& p = *d;
    try {
        if (!p.emulator) {
            // Start-up is bounded whatever the settings: a service that accepts the connection
            // and never answers must not keep the host from starting.
            for (ServiceChannel* channel : {&p.requestChannel, &p.eventChannel}) {
                channel->setVersionCheckTimeout(p.lifecycleTimeoutMs);
                channel->setTimeout(p.lifecycleTimeoutMs);
            }
            p.requestChannel.setReconnect(p.reconnect);
            p.requestChannel.setReleaseTimeout(p.lifecycleTimeoutMs);
            const bool served = p.requestChannel.CheckVersion();
            // The event thread connects and opens its queue while this thread loads the list:
            // the two connections' set-up overlaps the list instead of adding to it, and a change
            // made while the list loads is not missed. The request channel connects first, so
            // the service still sees the connections in that order. Without a service and
            // without reconnection nobody would ever be heard, so no thread starts.
            CEvent started(false, false);
            if (served || p.reconnect) {
                // std::thread reports a failed start as std::system_error with
                // resource_unavailable_try_again, which is what leaves here.
                p.eventThread = std::thread(&CVemInterfacePrivate::eventLoop, &p, &started);
            }
            if (served && p.requestChannel.IsDriveDetected()) {
                p.refresh();
            }
            if (p.eventThread.joinable()) {
                started.Wait(0xFFFFFFFF);
            }
            p.requestChannel.setTimeout(p.requestTimeoutMs);
        }
        CUriHandler::instance()->RegisterHandler(CStringW(u"vem:"), this);
    } catch (...) {
        // The event thread may be running already: shut down in order, not just free.
        CVemInterfacePrivate::release(d);
        throw;
    }
}

CVemInterface::CVemInterface(const CVemInterface& other) : IFileSystem(other), d(other.d) {
    d->references.fetch_add(1);
}

CVemInterface& CVemInterface::operator=(const CVemInterface& other) {
    if (d != other.d) {
        IFileSystem::operator=(other);
        other.d->references.fetch_add(1);
        CVemInterfacePrivate* old = d;
        d = other.d;
        CVemInterfacePrivate::release(old);
    }
    return *this;
}

CVemInterface::~CVemInterface() {
    CVemInterfacePrivate::release(d);
}

void CVemInterfacePrivate::release(CVemInterfacePrivate* p) {
    if (p->references.fetch_sub(1) != 1) {
        return;
    }
    if (processTerminating()) {
        // Windows ends every other thread before it unloads libraries at process exit; the event
        // thread may have died holding a channel or the cache lock. Waiting or locking now could
        // hang the exit, and the system closes the pipes anyway, so the state is left as it is.
        return;
    }
    // Shut-down is bounded like start-up, and nothing may connect again behind it.
    p->stopping = true;
    p->stopRequested.Signal();
    p->requestChannel.setReconnect(false);
    p->requestChannel.setTimeout(p->lifecycleTimeoutMs);
    bool queueEnded = false;
    const uint32_t queue = p->queueId;
    if (queue != kNoQueue) {
        queueEnded = p->requestChannel.DestroyEventQueue(queue);
    }
    if (p->eventThread.joinable()) {
        // A service that cannot be told to end the queue, or that does not answer the pending
        // wait, would keep the thread blocked for ever: break its read after a grace period.
        // The thread may also be inside a refresh stuck on the request channel, so both break.
        if (!queueEnded || !p->eventLoopEnded.Wait(kEventThreadGraceMs)) {
            // Repeated: on Windows a read that starts just after a cancellation is not caught.
            do {
                p->eventChannel.abort();
                p->requestChannel.abort();
            } while (!p->eventLoopEnded.Wait(100));
        }
        p->eventThread.join();
    }
    if (!queueEnded) {
        // A host thread may be blocked in an exchange the service will never answer; the
        // disconnect below would wait for it.
        p->requestChannel.abort();
    }
    p->requestChannel.disconnect();
    delete p;
}

CVemInterface* instance() {
    static CVemInterface singleton;
    return &singleton;
}

bool CVemInterface::isEmulator() const {
    return d->emulator;
}

bool CVemInterface::drivePresent() {
    if (d->emulator) {
        return true;
    }
    return d->requestChannel.IsDriveDetected();
}

namespace {

int32_t findHandler(const TArray<delegate<void()>>& handlers, const delegate<void()>& handler) {
    for (uint32_t i = 0; i < handlers.size(); ++i) {
        if (handlers[i] == handler) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace

void CVemInterface::AddFilesChangedHandler(delegate<void()>&& handler) {
    CAutoLock guard(d->cacheLock);
    if (findHandler(d->filesChangedHandlers, handler) < 0) {
        d->filesChangedHandlers.append(std::move(handler));
    }
}

void CVemInterface::AddFilesChangedHandler(const delegate<void()>& handler) {
    CAutoLock guard(d->cacheLock);
    if (findHandler(d->filesChangedHandlers, handler) < 0) {
        d->filesChangedHandlers.append(handler);
    }
}

void CVemInterface::RemoveFilesChangedHandler(const delegate<void()>& handler) {
    CAutoLock guard(d->cacheLock);
    int32_t index = findHandler(d->filesChangedHandlers, handler);
    if (index >= 0) {
        d->filesChangedHandlers.remove(static_cast<uint32_t>(index));
    }
}

}  // namespace zel::vem
