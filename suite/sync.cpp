// Locks and events of the base library.
#include "suite/sync.h"

#include <chrono>

namespace zel {

void CCriticalSection::Enter() {
    m_mutex.lock();
}

void CCriticalSection::Leave() {
    m_mutex.unlock();
}

bool CCriticalSection::TryEnter() {
    return m_mutex.try_lock();
}

CEvent::CEvent(bool manualReset, bool initialState)
    : m_signalled(initialState), m_manualReset(manualReset) {}

bool CEvent::Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto signalled = [this] { return m_signalled; };
    if (ms == kInfinite) {
        m_condition.wait(lock, signalled);
    } else if (!m_condition.wait_for(lock, std::chrono::milliseconds(ms), signalled)) {
        return false;
    }
    if (!m_manualReset) {
        m_signalled = false;
    }
    return true;
}

void CEvent::Signal() {
    // Notified under the lock: a waiter may destroy the event as soon as it sees the flag, which
    // it cannot do before this unlock, and nothing here touches the event after it.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    // An auto-reset event releases one waiter; waking all would only make the others sleep again.
    if (m_manualReset) {
        m_condition.notify_all();
    } else {
        m_condition.notify_one();
    }
}

void CEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

}  // namespace zel
