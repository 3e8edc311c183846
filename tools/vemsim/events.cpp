// Event queues of the simulated drive.
#include "tools/vemsim/events.h"

#include <algorithm>

namespace zel::vem::sim {

bool EventHub::create(uint32_t& queueId) {
    std::lock_guard<std::mutex> hold(lock_);
    if (queues_.size() >= kMaxQueues) {
        return false;
    }
    // 0xFFFFFFFF is the client's "no queue"; numbers are not reused until they wrap.
    do {
        queueId = nextId_++;
    } while (queueId == 0xFFFFFFFFu || queueId == 0 || queues_.count(queueId) != 0);
    queues_[queueId] = Queue();
    return true;
}

bool EventHub::destroy(uint32_t queueId) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = queues_.find(queueId);
    if (it == queues_.end() || it->second.destroyed) {
        return false;
    }
    if (it->second.waiters == 0) {
        queues_.erase(it);
    } else {
        it->second.destroyed = true;
        changed_.notify_all();
    }
    return true;
}

EventHub::WaitResult EventHub::wait(uint32_t queueId, uint32_t& type) {
    std::unique_lock<std::mutex> hold(lock_);
    auto it = queues_.find(queueId);
    if (it == queues_.end() || it->second.destroyed) {
        return WaitResult::NoQueue;
    }
    // std::map keeps the node where it is while other queues come and go.
    Queue& queue = it->second;
    ++queue.waiters;
    changed_.wait(hold, [&] { return stopping_ || queue.destroyed || !queue.pending.empty(); });
    --queue.waiters;
    WaitResult result;
    if (stopping_) {
        result = WaitResult::Stopping;
    } else if (queue.destroyed) {
        result = WaitResult::Ended;
    } else {
        type = queue.pending.front();
        queue.pending.pop_front();
        result = WaitResult::Event;
    }
    if (queue.destroyed && queue.waiters == 0) {
        queues_.erase(queueId);
    }
    return result;
}

void EventHub::raise(uint32_t type) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& entry : queues_) {
        std::deque<uint32_t>& pending = entry.second.pending;
        if (type == 1 && std::find(pending.begin(), pending.end(), 1u) != pending.end()) {
            continue;
        }
        if (type != 1 && pending.size() >= kMaxPending) {
            continue;
        }
        pending.push_back(type);
    }
    changed_.notify_all();
}

void EventHub::stop() {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    changed_.notify_all();
}

size_t EventHub::queueCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return queues_.size();
}

}  // namespace zel::vem::sim
