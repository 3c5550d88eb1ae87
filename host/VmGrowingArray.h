// A growable array of plain values for stores that are filled one value at
// a time without knowing how many will come (the records of a feature
// download). Once it is large it lives in a mapping of its own: growing it
// then moves no bytes (the kernel remaps the pages) and the mapping is asked
// for huge pages, so filling a hundred megabytes costs a few page faults
// rather than tens of thousands plus the copies a doubling vector makes.
// Not part of the installed interface.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace VMK {

template <class T>
class GrowingArray {
    static_assert(std::is_trivially_copyable<T>::value, "values are moved as bytes");

public:
    GrowingArray() = default;
    ~GrowingArray() { Release(); }
    GrowingArray(const GrowingArray&) = delete;
    GrowingArray& operator=(const GrowingArray&) = delete;
    GrowingArray(GrowingArray&& other) noexcept { Take(other); }
    GrowingArray& operator=(GrowingArray&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T* data() { return m_data; }
    const T* data() const { return m_data; }
    T& operator[](size_t i) { return m_data[i]; }
    const T& operator[](size_t i) const { return m_data[i]; }
    T& back() { return m_data[m_size - 1]; }

    // Throw std::bad_alloc when memory is short, as std::vector does.
    void push_back(const T& value) {
        if (m_size == m_capacity) Grow(m_size + 1);
        m_data[m_size++] = value;
    }
    void append(const T* values, size_t count) {
        if (count == 0) return;
        if (m_size + count > m_capacity) Grow(m_size + count);
        std::memcpy(static_cast<void*>(m_data + m_size), values, count * sizeof(T));
        m_size += count;
    }
    // New values are value-initialised; shrinking keeps the memory.
    void resize(size_t count) {
        if (count > m_capacity) Grow(count);
        for (size_t i = m_size; i < count; ++i) new (m_data + i) T();
        m_size = count;
    }
    void clear() { m_size = 0; }

private:
    static constexpr size_t kMapFrom = size_t(1) << 20;
    static constexpr size_t kHugePage = size_t(2) << 20;

    void Take(GrowingArray& other) {
        m_data = other.m_data;
        m_size = other.m_size;
        m_capacity = other.m_capacity;
        m_mapped = other.m_mapped;
        other.m_data = nullptr;
        other.m_size = other.m_capacity = 0;
        other.m_mapped = false;
    }

    void Release() {
        if (m_mapped)
            ::munmap(m_data, m_capacity * sizeof(T));
        else
            std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
        m_mapped = false;
    }

    void Grow(size_t needed) {
        size_t capacity = m_capacity < 16 ? 16 : m_capacity * 2;
        if (capacity < needed) capacity = needed;
        size_t bytes = capacity * sizeof(T);
        if (bytes < kMapFrom) {
            void* grown = std::realloc(m_data, bytes);
            if (!grown) throw std::bad_alloc();
            m_data = static_cast<T*>(grown);
            m_capacity = capacity;
            return;
        }
        bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        const size_t old = m_capacity * sizeof(T);
        void* grown = MAP_FAILED;
        // In place when the addresses after the mapping are free; otherwise
        // the pages move (no bytes are copied) to a new aligned place.
        if (m_mapped) grown = ::mremap(m_data, old, bytes, 0);
        if (grown == MAP_FAILED) {
            void* target = MapAligned(bytes);
            if (!target) throw std::bad_alloc();
            if (m_mapped) {
                grown = ::mremap(m_data, old, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
                if (grown == MAP_FAILED) {
                    ::munmap(target, bytes);
                    throw std::bad_alloc();
                }
            } else {
                ::madvise(target, bytes, MADV_HUGEPAGE);
                if (m_size) std::memcpy(target, static_cast<void*>(m_data), m_size * sizeof(T));
                std::free(m_data);
                grown = target;
            }
        }
        ::madvise(grown, bytes, MADV_HUGEPAGE);
        m_data = static_cast<T*>(grown);
        m_capacity = bytes / sizeof(T);
        m_mapped = true;
    }

    // Huge pages need 2 MiB aligned addresses, which mmap does not promise.
    static void* MapAligned(size_t bytes) {
        const size_t span = bytes + kHugePage;
        void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) return nullptr;
        const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t(kHugePage) - 1);
        if (aligned > start) ::munmap(raw, aligned - start);
        const uintptr_t end = aligned + bytes;
        if (start + span > end) ::munmap(reinterpret_cast<void*>(end), start + span - end);
        return reinterpret_cast<void*>(aligned);
    }

    T* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_mapped = false;
};

} // namespace VMK
