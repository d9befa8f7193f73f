// Loading and saving tokenizer files. Failures throw DocumentError with the
// outer message; the system's or parser's detail is kept as its cause.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "editor_state.hpp"

namespace vocarix {

// Reads, parses and checks a tokenizer file ("Failed to read: <path>",
// "Failed to parse tokenizer.json", "Only BPE tokenizers are supported").
std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path);

// Builds the whole file text, then writes it ("Failed to write: <path>").
void save_tokenizer_file(const EditorState& state, const std::string& path);

// The bytes of a whole file, in memory of its own (huge pages where offered).
class FileBuffer {
public:
    ~FileBuffer();
    FileBuffer(FileBuffer&& other) noexcept;
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;
    FileBuffer& operator=(FileBuffer&&) = delete;
    std::string_view view() const { return {data_, size_}; }

private:
    friend FileBuffer read_file(const std::string& path);
    explicit FileBuffer(std::size_t capacity);
    void grow();

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Reads a whole file; throws DocumentError("Failed to read: <path>") on failure.
FileBuffer read_file(const std::string& path);

// Writes `text` to `path`, replacing its contents; throws DocumentError("Failed to write: <path>").
void write_file(const std::string& path, std::string_view text);

}  // namespace vocarix
