// Event queues of the simulated drive: change notices for clients blocked in WaitEvent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace zel::vem::sim {

class EventHub {
  public:
    // A client cannot open more queues than this at once; a leak shows as an error, not as
    // memory growth.
    static constexpr size_t kMaxQueues = 1024;
    // Events other than "changed" kept per queue for a client that does not wait.
    static constexpr size_t kMaxPending = 64;

    enum class WaitResult { Event, Ended, NoQueue, Stopping };

    // False when kMaxQueues queues are open.
    bool create(uint32_t& queueId);
    // Ends the queue: a pending WaitEvent is answered with type 0; without one the queue is gone
    // at once (a later WaitEvent gets an error). False for an unknown queue.
    bool destroy(uint32_t queueId);
    // Blocks until the queue has an event (Event, with its type), was destroyed while waiting
    // (Ended), or the service stops (Stopping). NoQueue at once for an unknown queue.
    WaitResult wait(uint32_t queueId, uint32_t& type);
    // Puts an event of `type` on every queue. A "changed" event (1) already pending is not
    // doubled: one refresh covers any number of changes.
    void raise(uint32_t type);
    // Wakes every waiter with Stopping, now and for later waits.
    void stop();
    size_t queueCount() const;

  private:
    struct Queue {
        std::deque<uint32_t> pending;
        bool destroyed = false;
        unsigned waiters = 0;
    };

    // Guards queues_, nextId_ and stopping_; `changed` is its condition. Leaf lock.
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::map<uint32_t, Queue> queues_;
    uint32_t nextId_ = 1;
    bool stopping_ = false;
};

}  // namespace zel::vem::sim
