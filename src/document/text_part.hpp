// A piece of text made in place, for output written in pieces: growing it
// does not zero the new room first (bytes are written before they are
// read), so room made for the longest possible text costs nothing where
// the text stays shorter.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vocarix {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

using TextPart = std::vector<char, DefaultInitAllocator<char>>;

}  // namespace vocarix
