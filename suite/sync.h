// Locks and events of the base library, on the standard library's primitives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "suite/export.h"

namespace zel {

// Recursive, so a thread that holds it may call back into code that takes it again.
class ZEL_API CCriticalSection {
  public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

  private:
    // The lock itself; what it guards and its order are the owner's to say.
    std::recursive_mutex m_mutex;
};

// Holds a critical section for the lifetime of the object.
class ZEL_API CAutoLock {
  public:
    explicit CAutoLock(CCriticalSection& section) : m_section(section) { m_section.Enter(); }
    ~CAutoLock() { m_section.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CCriticalSection& m_section;
};

// A manual-reset event stays signalled until Reset; an auto-reset event lets one Wait through
// and clears itself.
// Members are exported one by one: a dllimport class cannot hand out its constexpr members.
class CEvent {
  public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    ZEL_API CEvent(bool manualReset, bool initialState);
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // True when signalled within ms milliseconds (kInfinite: no limit).
    ZEL_API bool Wait(uint32_t ms);
    ZEL_API void Signal();
    ZEL_API void Reset();

  private:
    // m_mutex guards m_signalled; it is a leaf lock (nothing else is taken under it).
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled;
    const bool m_manualReset;
};

}  // namespace zel
