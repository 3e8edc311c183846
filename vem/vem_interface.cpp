// CVemInterface: the singleton's life (start-up, shut-down), the movie-list cache and the handlers.
#include "vem/vem_interface.h"

#include <cstdlib>
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

// More movies than any drive holds; a larger count from the service is not believed.
constexpr uint32_t kMaxMovies = 1u << 20;

bool emulatorSwitchSet() {
    const char* value = std::getenv("ZELVEM_ENABLE_EMULATOR");
    return value != nullptr && value[0] != '\0';
}

}  // namespace

CVemInterfacePrivate::CVemInterfacePrivate() : emulator(emulatorSwitchSet()) {}

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

void CVemInterfacePrivate::refresh() {
    CAutoLock guard(cacheLock);
    movies.clear();
    movieIndex.clear();
    uint32_t count = 0;
    // A count no drive could hold would only make a broken service cost gigabytes of cache and
    // millions of requests: it is treated like a failed request.
    if (requestChannel.GetMovieCount(count) && count <= kMaxMovies) {
        // resize() grows by doubling and zero-fills: a record whose request fails part-way keeps
        // the fields read before the failure and zeros in the rest.
        movies.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
            requestChannel.GetMovieInfo(i, movies[i]);
        }
        rebuildIndexLocked();
    }
    notifyHandlersLocked();
}

void CVemInterfacePrivate::eventLoop(CEvent* started) {
    uint32_t id = kNoQueue;
    bool opened = eventChannel.CreateEventQueue(id);
    if (opened) {
        queueId = id;
    }
    started->Signal();  // not touched again: the constructor destroys it once it wakes
    if (opened) {
        SVemEvent event{};
        while (eventChannel.WaitEvent(queueId, event) && event.type != 0) {
            if (event.type == 1) {
                try {
                    refresh();
                } catch (const std::bad_alloc&) {
                    // The cache could not grow; refresh left it empty. Later changes may fit.
                }
            }
        }
        eventChannel.disconnect();
    }
    eventLoopEnded.Signal();
}

CVemInterface::CVemInterface() : d(new CVemInterfacePrivate) {
    CVemInterfacePrivate& p = *d;
    try {
        if (!p.emulator) {
            if (p.requestChannel.CheckVersion() && p.requestChannel.IsDriveDetected()) {
                p.refresh();
            }
            if (p.eventChannel.CheckVersion()) {
                CEvent started(false, false);
                // std::thread reports a failed start as std::system_error with
                // resource_unavailable_try_again, which is what leaves here.
                p.eventThread = std::thread(&CVemInterfacePrivate::eventLoop, &p, &started);
                started.Wait(0xFFFFFFFF);
            }
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
    bool queueEnded = false;
    if (p->queueId != kNoQueue) {
        queueEnded = p->requestChannel.DestroyEventQueue(p->queueId);
    }
    if (p->eventThread.joinable()) {
        // A service that cannot be told to end the queue, or that does not answer the pending
        // wait, would keep the thread blocked for ever: break its read after a grace period.
        if (!queueEnded || !p->eventLoopEnded.Wait(kEventThreadGraceMs)) {
            // Repeated: on Windows a read that starts just after a cancellation is not caught.
            do {
                p->eventChannel.abort();
            } while (!p->eventLoopEnded.Wait(100));
        }
        p->eventThread.join();
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
