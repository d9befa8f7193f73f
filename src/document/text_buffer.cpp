#include "document/text_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

namespace vocarix {

TextBuffer::TextBuffer(std::size_t capacity) {
    constexpr std::size_t kHugePage = 2u << 20;
    capacity_ = std::max<std::size_t>(capacity, 1 << 16);
    if (capacity_ < 2 * kHugePage) {
        void* memory = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(memory);
        return;
    }
    // Large documents fault in far fewer, larger pages where the system
    // allows it; those need a start on a huge-page boundary. The capacity is
    // rounded to small pages only: the end of the text, short of a whole
    // huge page, then takes small pages instead of a huge page mostly unused.
    const auto small_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    capacity_ = (capacity_ + small_page - 1) / small_page * small_page;
    void* memory = ::mmap(nullptr, capacity_ + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    auto start = reinterpret_cast<std::uintptr_t>(memory);
    std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > start) ::munmap(memory, aligned - start);
    if (std::size_t tail = kHugePage - (aligned - start)) ::munmap(reinterpret_cast<char*>(aligned + capacity_), tail);
    data_ = reinterpret_cast<char*>(aligned);
    ::madvise(data_, capacity_, MADV_HUGEPAGE);
}

TextBuffer::~TextBuffer() {
    if (data_) ::munmap(data_, capacity_);
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(other.size_), capacity_(other.capacity_) {}

void TextBuffer::grow(std::size_t capacity) {
    std::size_t grown = capacity_;
    while (grown < capacity) {
        if (grown > SIZE_MAX / 2) throw std::bad_alloc();
        grown *= 2;
    }
    if (grown == capacity_) return;
    void* memory = ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(memory);
    capacity_ = grown;
}

}  // namespace vocarix
