// RemovalLock: one removal at a time among the clients of one service on this machine.
#pragma once

#include <cstdint>

namespace zel::vem {

// The service removes movies by position and offers no removal by name, so a client confirms
// which movie sits at a position and then removes it. Two clients doing that at once could each
// confirm, then one remove shifts the other's position: the second removal would take a third
// movie. Holding this lock across confirm and remove rules that out among our clients; other
// programs talking to the service are not covered (docs/vem.md measures that window).
//
// POSIX: an flock on "<pipe>.remove-lock" in the pipe folder (created 0600 without following
// links). Windows: a named mutex in the session named after the pipe. Where neither can be had
// (a folder the user may not write to), the removal goes ahead unlocked: held() says so.
class RemovalLock {
  public:
    // Waits up to `timeoutMs` (0: not at all) for the lock of the service pipe `pipeName`.
    RemovalLock(const char* pipeName, uint32_t timeoutMs);
    ~RemovalLock();
    RemovalLock(const RemovalLock&) = delete;
    RemovalLock& operator=(const RemovalLock&) = delete;

    // Taken; false when another client kept it past the time-out or it could not be made.
    bool held() const { return held_; }
    // Another client held it for the whole wait (as opposed to: no lock can be had here).
    bool busy() const { return busy_; }

  private:
    intptr_t handle_ = -1;
    bool held_ = false;
    bool busy_ = false;
};

}  // namespace zel::vem
