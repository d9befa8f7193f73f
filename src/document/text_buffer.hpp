// Document-sized text buffers, mapped straight from the system.
#pragma once

#include <cstddef>
#include <string_view>

namespace vocarix {

// Document-sized text in memory of its own, mapped straight from the system
// (huge pages where offered): a whole file's bytes, or a str's UTF-8 form.
class TextBuffer {
public:
    // Room for `capacity` bytes, zero-filled; the text starts empty.
    explicit TextBuffer(std::size_t capacity);
    ~TextBuffer();
    TextBuffer(TextBuffer&& other) noexcept;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    TextBuffer& operator=(TextBuffer&&) = delete;

    std::string_view view() const { return {data_, size_}; }
    char* data() { return data_; }
    std::size_t capacity() const { return capacity_; }
    // Sets the text's length; `size` must be within the capacity.
    void set_size(std::size_t size) { size_ = size; }
    // Makes room for at least `capacity` bytes, keeping the text. The kernel
    // moves the pages, so growing copies nothing.
    void grow(std::size_t capacity);

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vocarix
