// A corpus read as a stream: a file, a range of one, standard input, a pipe
// or a FIFO, in blocks, cut into runs of whole lines. Every block is checked
// as it arrives, so a NUL byte or bytes that are not UTF-8 stop the reading
// at the first block that holds them, with the input's name and the byte.
// A line longer than a run is cut where the file's pipeline allows
// (line_cuts.hpp), so memory stays bounded by the run and block sizes
// whatever the line lengths; only a line with no such place is held whole.
// A byte-order mark at the start of an input is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "document/errors.hpp"
#include "learning/line_cuts.hpp"
#include "learning/word_counting.hpp"

namespace vocarix {

// Called when a read that waits for input is interrupted by a signal;
// returns false to stop reading (ReadInterrupted).
using KeepReading = std::function<bool()>;

class CorpusReader {
public:
    static constexpr std::uint64_t kToEnd = UINT64_MAX;
    static constexpr std::size_t kBlockBytes = 1 << 20;

    // Reads `fd` (which stays the caller's) from `start` up to `end`, by
    // offset; with `end` kToEnd and a stream (`seekable` false) it reads on
    // from where the stream stands, `start` naming that place's byte.
    // `name` is how errors call the input. A range that starts inside a
    // line (after a cut) starts with the rest of that line. Long lines are
    // cut where `cuts` allows (null: never); `cuts` must outlive the reader.
    CorpusReader(int fd, std::string name, std::uint64_t start, std::uint64_t end, bool seekable,
                 const LineCutRule* cuts = nullptr, std::size_t block_bytes = kBlockBytes);

    // Sets `text` to the next whole lines, at least `min_bytes` of them
    // unless the input ends first (its last line may lack a line break), or
    // to the head of a line longer than that, up to the last place where it
    // may be cut; `first_byte` to where the text starts in the input. The
    // text is valid until the next call. False at the end. Throws
    // CorpusError naming the input, ReadInterrupted when `keep_reading` said stop.
    bool next(std::string_view& text, std::uint64_t& first_byte, std::size_t min_bytes);
    // Whether the text the last next() gave starts inside a line, after a cut.
    bool continues_line() const { return continues_line_; }
    // Whether anything but white space and line breaks was read so far.
    bool holds_text() const { return holds_text_; }
    void set_keep_reading(KeepReading keep_reading) { keep_reading_ = std::move(keep_reading); }

private:
    void read_block();
    void check_new_bytes(bool at_end);
    std::size_t cut_in_checked_bytes();
    [[noreturn]] void fail(const std::string& why) const;

    int fd_;
    std::string name_;
    std::uint64_t position_;  // input byte of the next read
    std::uint64_t end_;
    bool seekable_;
    const LineCutRule* cuts_;
    std::size_t block_bytes_;
    KeepReading keep_reading_;
    bool ended_ = false;
    bool holds_text_ = false;
    bool continues_line_ = false;       // of the text handed out last
    bool next_continues_line_ = false;  // of the text handed out next
    std::string buffer_;          // read and not yet handed out
    std::uint64_t buffer_start_;  // input byte of buffer_[0]
    std::size_t checked_ = 0;     // bytes of buffer_ known to be text
    std::size_t lines_end_ = 0;   // bytes of buffer_ up to its last checked line break
    std::size_t cuts_searched_ = 0;  // bytes of buffer_ searched for a place to cut
    std::size_t handed_out_ = 0;  // bytes of buffer_ the last call handed out
};

// Where a chunk of the file `fd` that reaches byte `offset` may end: after
// the line break that ends the line holding that byte, or, when none comes
// in the block read, before the first place there where `cuts` allows a cut
// (null: line breaks only), or at the file's end. Reads forward in small
// blocks, then larger ones; a NUL byte ends the search too (the chunk that
// holds it reports it). Throws CorpusError naming the input.
std::uint64_t chunk_end_after(int fd, std::string_view name, std::uint64_t offset, const LineCutRule* cuts);

}  // namespace vocarix
