// Shared ownership of the base library: an atomic reference counter and the pointer that uses it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace zel {

// Counts the owners of one object. Changed only atomically, so owners on different threads may
// copy and drop their pointers freely.
class CReferenceCounter {
  public:
    static CReferenceCounter* Create() { return new CReferenceCounter(); }
    void AddRef() { m_count.fetch_add(1, std::memory_order_relaxed); }
    // True when this call dropped the last reference; the caller then destroys the object and
    // the counter.
    bool Release() { return m_count.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    uint32_t count() const { return m_count.load(std::memory_order_acquire); }

  private:
    CReferenceCounter() = default;
    std::atomic<uint32_t> m_count{1};
};

template <class T>
class TSharedPtr {
  public:
    TSharedPtr() = default;
    TSharedPtr(std::nullptr_t) {}
    // Takes ownership of object with a new counter.
    explicit TSharedPtr(T* object)
        : m_object(object), m_counter(object ? CReferenceCounter::Create() : nullptr) {}
    // Adopts an existing reference: the counter is not incremented.
    TSharedPtr(T* object, CReferenceCounter* counter) : m_object(object), m_counter(counter) {}

    TSharedPtr(const TSharedPtr& other) : m_object(other.m_object), m_counter(other.m_counter) {
        if (m_counter) {
            m_counter->AddRef();
        }
    }
    TSharedPtr(TSharedPtr&& other) noexcept : m_object(other.m_object), m_counter(other.m_counter) {
        other.m_object = nullptr;
        other.m_counter = nullptr;
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    TSharedPtr(const TSharedPtr<U>& other) : m_object(other.m_object), m_counter(other.m_counter) {
        if (m_counter) {
            m_counter->AddRef();
        }
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    TSharedPtr(TSharedPtr<U>&& other) noexcept
        : m_object(other.m_object), m_counter(other.m_counter) {
        other.m_object = nullptr;
        other.m_counter = nullptr;
    }
    TSharedPtr& operator=(TSharedPtr other) noexcept {
        std::swap(m_object, other.m_object);
        std::swap(m_counter, other.m_counter);
        return *this;
    }
    ~TSharedPtr() { reset(); }

    void reset() {
        if (m_counter && m_counter->Release()) {
            delete m_object;
            delete m_counter;
        }
        m_object = nullptr;
        m_counter = nullptr;
    }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    CReferenceCounter* counter() const { return m_counter; }

  private:
    template <class U>
    friend class TSharedPtr;

    T* m_object = nullptr;
    CReferenceCounter* m_counter = nullptr;
};

template <class T, class U>
bool operator==(const TSharedPtr<T>& a, const TSharedPtr<U>& b) {
    return a.get() == b.get();
}
template <class T, class U>
bool operator!=(const TSharedPtr<T>& a, const TSharedPtr<U>& b) {
    return a.get() != b.get();
}

}  // namespace zel
