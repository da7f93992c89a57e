#pragma once
// An allocator that leaves new elements uninitialised, for arrays written in
// full before they are read (bulk results, the k-d tree's block and scratch).
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "memory/block_cache.hpp"

namespace kestrum::memory {

template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }

    // Large arrays come from the process's block cache (memory/block_cache):
    // recently freed output blocks are reused instead of faulting in and
    // zero-filling fresh pages on every bulk operation.
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargeFrom) return std::allocator<T>::allocate(n);
        return static_cast<T*>(process_cache().allocate(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kLargeFrom)
            std::allocator<T>::deallocate(p, n);
        else
            process_cache().deallocate(p, n * sizeof(T));
    }
};
}  // namespace kestrum::memory
