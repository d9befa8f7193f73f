// A corpus read as a stream: a file, a range of one, standard input, a pipe
// or a FIFO, in blocks, cut into runs of whole lines. Every block is checked
// as it arrives, so a NUL byte or bytes that are not UTF-8 stop the reading
// at the first block that holds them, with the input's name and the byte;
// memory stays bounded by the longest line and the block size, whatever the
// input's size. A byte-order mark at the start of an input is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "learning/word_counting.hpp"

namespace vocarix {

class CorpusReader {
public:
    static constexpr std::uint64_t kToEnd = UINT64_MAX;

    // Reads `fd` (which stays the caller's) from `start` up to `end`, by
    // offset; with `end` kToEnd and a stream (`seekable` false) it reads on
    // from where the stream stands, `start` naming that place's byte.
    // `name` is how errors call the input.
    CorpusReader(int fd, std::string name, std::uint64_t start, std::uint64_t end, bool seekable);

    // Sets `text` to the next whole lines, at least `min_bytes` of them
    // unless the input ends first (its last line may lack a line break),
    // and `first_byte` to where they start in the input. The text is valid
    // until the next call. False at the end. Throws CorpusError naming the input.
    bool next(std::string_view& text, std::uint64_t& first_byte, std::size_t min_bytes);

private:
    void read_block();
    void check_new_bytes(bool at_end);
    [[noreturn]] void fail(const std::string& why) const;

    int fd_;
    std::string name_;
    std::uint64_t position_;  // input byte of the next read
    std::uint64_t end_;
    bool seekable_;
    bool ended_ = false;
    std::string buffer_;          // read and not yet handed out
    std::uint64_t buffer_start_;  // input byte of buffer_[0]
    std::size_t checked_ = 0;     // bytes of buffer_ known to be text
    std::size_t lines_end_ = 0;   // bytes of buffer_ up to its last checked line break
    std::size_t handed_out_ = 0;  // bytes of buffer_ the last call handed out
};

// Where the line that holds byte `offset` of the file `fd` ends: the byte
// after its line break, or the file's end. Reads forward in small blocks;
// a NUL byte ends the search too (the chunk that holds it reports it).
// Throws CorpusError naming the input.
std::uint64_t line_end_after(int fd, std::string_view name, std::uint64_t offset);

}  // namespace vocarix
