// Loading and saving tokenizer files. Failures throw DocumentError with the
// outer message; the system's or parser's detail is kept as its cause.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "editor_state.hpp"
#include "json_writer.hpp"

namespace vocarix {

// Reads, parses and checks a tokenizer file ("Failed to read: <path>",
// "Failed to parse tokenizer.json", "Only BPE tokenizers are supported").
std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path);

// Writes the file text as it is made ("Failed to write: <path>").
void save_tokenizer_file(const EditorState& state, const std::string& path);

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
    // Doubles the capacity, keeping the text.
    void grow();

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Reads a whole file; throws DocumentError("Failed to read: <path>") on failure.
TextBuffer read_file(const std::string& path);

// Makes text by handing it to a sink piece by piece.
using TextProducer = std::function<void(const TextSink&)>;

// Writes the produced text to `path`, replacing its contents; throws
// DocumentError("Failed to write: <path>").
void write_file(const std::string& path, const TextProducer& produce);

}  // namespace vocarix
