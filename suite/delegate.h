// delegate<void()>: a callable of three pointer-sized words whose flat form crosses module and
// language boundaries as zelDelegate.
#pragma once

#include <new>
#include <utility>

#include "suite/export.h"

extern "C" {

// clone returns the context a copy is to hold; release drops one context.
typedef struct zelDelegateManager {
    void* (*clone)(void* context);
    void (*release)(void* context);
} zelDelegateManager;

typedef struct zelDelegate {
    void (*invoke)(void* context);
    void* context;
    const zelDelegateManager* manager;
} zelDelegate;

// Releases what a flat delegate holds: release(context) when manager is set.
ZEL_API void zelDelegate_Destroy(zelDelegate d);
}

namespace zel {

template <class Signature>
class delegate;

// Holds exactly the three words of zelDelegate, in the same order, and nothing else.
template <>
class delegate<void()> {
  public:
    delegate() = default;
    delegate(void (*invoke)(void*), void* context, const zelDelegateManager* manager)
        : m_invoke(invoke), m_context(context), m_manager(manager) {}
    // Adopts the flat form: the reference it holds passes to this object.
    explicit delegate(const zelDelegate& flat)
        : m_invoke(flat.invoke), m_context(flat.context), m_manager(flat.manager) {}

    delegate(const delegate& other)
        : m_invoke(other.m_invoke), m_context(other.m_context), m_manager(other.m_manager) {
        if (m_manager != nullptr) {
            m_context = m_manager->clone(m_context);
        }
    }
    delegate(delegate&& other) noexcept
        : m_invoke(other.m_invoke), m_context(other.m_context), m_manager(other.m_manager) {
        other.m_invoke = nullptr;
        other.m_context = nullptr;
        other.m_manager = nullptr;
    }
    delegate& operator=(const delegate& other) {
        if (this != &other) {
            delegate copy(other);
            swap(copy);
        }
        return *this;
    }
    delegate& operator=(delegate&& other) noexcept {
        if (this != &other) {
            delegate taken(std::move(other));
            swap(taken);
        }
        return *this;
    }
    ~delegate() {
        if (m_manager != nullptr) {
            m_manager->release(m_context);
        }
    }

    void swap(delegate& other) noexcept {
        std::swap(m_invoke, other.m_invoke);
        std::swap(m_context, other.m_context);
        std::swap(m_manager, other.m_manager);
    }

    // An empty delegate does nothing when called.
    void operator()() const {
        if (m_invoke != nullptr) {
            m_invoke(m_context);
        }
    }
    explicit operator bool() const { return m_invoke != nullptr; }

    friend bool operator==(const delegate& a, const delegate& b) {
        return a.m_invoke == b.m_invoke && a.m_context == b.m_context && a.m_manager == b.m_manager;
    }
    friend bool operator!=(const delegate& a, const delegate& b) { return !(a == b); }

    // The three words, without touching the reference they hold.
    zelDelegate raw() const { return zelDelegate{m_invoke, m_context, m_manager}; }
    // Gives up the three words (and the reference) to the caller; this object becomes empty.
    zelDelegate release() {
        zelDelegate flat = raw();
        m_invoke = nullptr;
        m_context = nullptr;
        m_manager = nullptr;
        return flat;
    }

    // Heap-copies the callable; every copy of the delegate owns a copy of the callable, so
    // copies made this way do not compare equal to each other.
    template <class F>
    static delegate FromCallable(F callable) {
        static const zelDelegateManager manager = {
            [](void* context) -> void* { return new F(*static_cast<F*>(context)); },
            [](void* context) { delete static_cast<F*>(context); }};
        return delegate([](void* context) { (*static_cast<F*>(context))(); },
                        new F(std::move(callable)), &manager);
    }

  private:
    void (*m_invoke)(void*) = nullptr;
    void* m_context = nullptr;
    const zelDelegateManager* m_manager = nullptr;
};

static_assert(sizeof(delegate<void()>) == sizeof(zelDelegate), "delegate is its three words");

}  // namespace zel
