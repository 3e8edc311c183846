// TArray: the base library's growable array, instantiated in every module that uses it.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "suite/memory.h"

namespace zel {

// Storage comes from Alloc/Realloc/Free so a block may change hands between modules. Capacity
// grows only by doubling (from 1 when empty) and is never given back except by destruction,
// so a list that is refilled to the same size is not reallocated.
template <class T>
class TArray {
  public:
    TArray() = default;
    TArray(const TArray& other) {
        try {
            reserve(other.m_count);
            for (uint32_t i = 0; i < other.m_count; ++i) {
                new (m_data + i) T(other.m_data[i]);
                m_count = i + 1;
            }
        } catch (...) {
            // The destructor does not run for a half-built object.
            clear();
            Free(m_data);
            throw;
        }
    }
    TArray(TArray&& other) noexcept
        : m_data(other.m_data), m_capacity(other.m_capacity), m_count(other.m_count) {
        other.m_data = nullptr;
        other.m_capacity = 0;
        other.m_count = 0;
    }
    TArray& operator=(const TArray& other) {
        if (this != &other) {
            TArray copy(other);
            swap(copy);
        }
        return *this;
    }
    TArray& operator=(TArray&& other) noexcept {
        if (this != &other) {
            TArray taken(std::move(other));
            swap(taken);
        }
        return *this;
    }
    virtual ~TArray() {
        clear();
        Free(m_data);
    }

    void swap(TArray& other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_capacity, other.m_capacity);
        std::swap(m_count, other.m_count);
    }

    uint32_t size() const { return m_count; }
    uint32_t capacity() const { return m_capacity; }
    bool empty() const { return m_count == 0; }
    T* data() { return m_data; }
    const T* data() const { return m_data; }
    T* begin() { return m_data; }
    T* end() { return m_data + m_count; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_count; }

    T& operator[](uint32_t index) { return at(index); }
    const T& operator[](uint32_t index) const { return at(index); }
    T& at(uint32_t index) {
        if (index >= m_count) {
            ThrowOutOfRangeException("TArray: index out of range.");
        }
        return m_data[index];
    }
    const T& at(uint32_t index) const {
        if (index >= m_count) {
            ThrowOutOfRangeException("TArray: index out of range.");
        }
        return m_data[index];
    }

    void append(const T& value) {
        if (m_count == m_capacity) {
            // value may live in this array; copy it before the storage moves.
            T copy(value);
            reserve(m_count + 1);
            new (m_data + m_count) T(std::move(copy));
        } else {
            new (m_data + m_count) T(value);
        }
        ++m_count;
    }
    void append(T&& value) {
        if (m_count == m_capacity) {
            T taken(std::move(value));
            reserve(m_count + 1);
            new (m_data + m_count) T(std::move(taken));
        } else {
            new (m_data + m_count) T(std::move(value));
        }
        ++m_count;
    }

    // Later elements move down by one place; the order is kept.
    void remove(uint32_t index) {
        if (index >= m_count) {
            ThrowOutOfRangeException("TArray::remove: index out of range.");
        }
        for (uint32_t i = index; i + 1 < m_count; ++i) {
            m_data[i] = std::move(m_data[i + 1]);
        }
        --m_count;
        m_data[m_count].~T();
    }

    // Ensures room for n elements by the doubling rule.
    void reserve(uint32_t n) {
        if (n <= m_capacity) {
            return;
        }
        uint64_t capacity = m_capacity == 0 ? 1 : m_capacity;
        while (capacity < n) {
            capacity *= 2;
        }
        if (capacity > UINT32_MAX) {
            capacity = UINT32_MAX;
        }
        Grow(static_cast<uint32_t>(capacity));
    }

    // New elements are value-initialised (zero for plain records).
    void resize(uint32_t n) {
        if (n < m_count) {
            for (uint32_t i = n; i < m_count; ++i) {
                m_data[i].~T();
            }
            m_count = n;
            return;
        }
        reserve(n);
        for (uint32_t i = m_count; i < n; ++i) {
            new (m_data + i) T();
            m_count = i + 1;
        }
    }

    // Count 0; the storage is kept.
    void clear() {
        for (uint32_t i = 0; i < m_count; ++i) {
            m_data[i].~T();
        }
        m_count = 0;
    }

  private:
    void Grow(uint32_t capacity) {
        if (static_cast<uint64_t>(capacity) * sizeof(T) > SIZE_MAX) {
            ThrowBadAllocException();
        }
        const size_t bytes = static_cast<size_t>(capacity) * sizeof(T);
        if constexpr (std::is_trivially_copyable_v<T>) {
            void* block = Realloc(m_data, bytes);
            if (block == nullptr) {
                ThrowBadAllocException();
            }
            m_data = static_cast<T*>(block);
        } else {
            T* block = static_cast<T*>(Alloc(bytes));
            if (block == nullptr) {
                ThrowBadAllocException();
            }
            for (uint32_t i = 0; i < m_count; ++i) {
                new (block + i) T(std::move(m_data[i]));
                m_data[i].~T();
            }
            Free(m_data);
            m_data = block;
        }
        m_capacity = capacity;
    }

    T* m_data = nullptr;
    uint32_t m_capacity = 0;
    uint32_t m_count = 0;
};

}  // namespace zel
