#include "learning/corpus_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "document/text.hpp"

namespace vocarix {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlankBytes = " \t\n\r\v\f";
constexpr std::size_t kReadFailed = static_cast<std::size_t>(-1);

// Reads up to `size` bytes at `offset` (or from the stream's place when
// `seekable` is false); 0 at the end. A read a signal cut short is tried
// again unless `keep_reading` says stop.
std::size_t read_some(int fd, char* into, std::size_t size, std::uint64_t offset, bool seekable,
                      const KeepReading* keep_reading) {
    for (;;) {
        ssize_t got = seekable ? ::pread(fd, into, size, static_cast<off_t>(offset)) : ::read(fd, into, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return kReadFailed;
        if (keep_reading && *keep_reading && !(*keep_reading)()) throw ReadInterrupted();
    }
}

[[noreturn]] void fail_to_read(std::string_view name) {
    throw CorpusError(std::string(name) + ": cannot be read: " + std::strerror(errno));
}

// Bytes at the end of `text` that start a UTF-8 sequence the text does not finish.
std::size_t unfinished_sequence(std::string_view text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        return byte >= 0xC0 && utf8_sequence_length(byte) > back ? back : 0;
    }
    return 0;
}

}  // namespace

CorpusReader::CorpusReader(int fd, std::string name, std::uint64_t start, std::uint64_t end, bool seekable,
                           const LineCutRule* cuts, std::size_t block_bytes)
    : fd_(fd), name_(std::move(name)), position_(start), end_(end), seekable_(seekable), cuts_(cuts),
      block_bytes_(std::max<std::size_t>(block_bytes, 1)), buffer_start_(start) {
    if (seekable_ && start > 0) {
        // A range that starts after a cut starts with the rest of a line.
        char before = '\n';
        if (read_some(fd_, &before, 1, start - 1, true, nullptr) == kReadFailed) fail_to_read(name_);
        next_continues_line_ = before != '\n';
    }
}

void CorpusReader::fail(const std::string& why) const { throw CorpusError(name_ + ": " + why); }

void CorpusReader::read_block() {
    if (ended_) return;
    std::size_t want = block_bytes_;
    if (end_ != kToEnd) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, end_ - position_));
    if (want == 0) {
        ended_ = true;
        return;
    }
    const std::size_t before = buffer_.size();
    buffer_.resize(before + want);
    const std::size_t got = read_some(fd_, buffer_.data() + before, want, position_, seekable_, &keep_reading_);
    if (got == kReadFailed) {
        buffer_.resize(before);
        fail_to_read(name_);
    }
    buffer_.resize(before + got);
    position_ += got;
    if (got == 0) ended_ = true;
}

// Checks what was read since the last check; an unfinished character at
// the end waits for the next block, unless the input has ended.
void CorpusReader::check_new_bytes(bool at_end) {
    std::string_view fresh = std::string_view(buffer_).substr(checked_);
    if (buffer_start_ == 0 && checked_ == 0 && fresh.size() >= 3 && fresh.starts_with(kByteOrderMark)) {
        buffer_.erase(0, kByteOrderMark.size());
        buffer_start_ = kByteOrderMark.size();
        fresh = buffer_;
    }
    if (const void* nul = std::memchr(fresh.data(), 0, fresh.size()))
        fail("not text: a NUL byte at byte " +
             std::to_string(buffer_start_ + checked_ + static_cast<std::size_t>(static_cast<const char*>(nul) - fresh.data())));
    const std::size_t complete = fresh.size() - (at_end ? 0 : unfinished_sequence(fresh));
    const std::size_t bad = find_invalid_utf8(fresh.substr(0, complete));
    if (bad != complete) fail("not UTF-8 text (byte " + std::to_string(buffer_start_ + checked_ + bad) + ")");
    if (!holds_text_) holds_text_ = fresh.substr(0, complete).find_first_not_of(kBlankBytes) != std::string_view::npos;
    if (const void* line_break = ::memrchr(fresh.data(), '\n', complete))
        lines_end_ = checked_ + static_cast<std::size_t>(static_cast<const char*>(line_break) - fresh.data()) + 1;
    checked_ += complete;
}

// The last place in the checked bytes (a line with no break among them)
// where the line may be cut; 0 for none. Bytes searched once are not searched again.
std::size_t CorpusReader::cut_in_checked_bytes() {
    if (!cuts_ || !cuts_->cuts()) return 0;
    const std::size_t at = cuts_->last_cut(buffer_, cuts_searched_, checked_);
    cuts_searched_ = checked_;
    return at == LineCutRule::kNone ? 0 : at;
}

bool CorpusReader::next(std::string_view& text, std::uint64_t& first_byte, std::size_t min_bytes) {
    buffer_.erase(0, handed_out_);
    buffer_start_ += handed_out_;
    checked_ -= handed_out_;
    lines_end_ = lines_end_ >= handed_out_ ? lines_end_ - handed_out_ : 0;
    cuts_searched_ = cuts_searched_ >= handed_out_ ? cuts_searched_ - handed_out_ : 0;
    handed_out_ = 0;
    continues_line_ = next_continues_line_;
    // Read until the checked bytes hold min_bytes and a line break (or,
    // when they hold no line break, a place to cut the line), or the input ends.
    std::size_t cut = 0;
    for (;;) {
        if (ended_) {
            cut = buffer_.size();
            next_continues_line_ = false;
            break;
        }
        if (checked_ >= min_bytes) {
            if (lines_end_ > 0) {
                cut = lines_end_;
                next_continues_line_ = false;
                break;
            }
            if ((cut = cut_in_checked_bytes()) > 0) {
                next_continues_line_ = true;
                break;
            }
        }
        read_block();
        check_new_bytes(ended_);
    }
    text = std::string_view(buffer_).substr(0, cut);
    first_byte = buffer_start_;
    handed_out_ = cut;
    lines_end_ = 0;
    return cut > 0;
}

std::uint64_t chunk_end_after(int fd, std::string_view name, std::uint64_t offset, const LineCutRule* cuts) {
    // Most lines end soon: small reads first, larger ones for a long line.
    constexpr std::size_t kFirstScanBytes = 4 << 10, kScanBytes = 64 << 10;
    if (cuts && !cuts->cuts()) cuts = nullptr;
    // A place to cut is judged by the bytes before it too.
    const std::size_t context = cuts ? cuts->context_bytes() : 0;
    std::string block(context + kScanBytes, '\0');
    for (std::size_t scan = kFirstScanBytes;; scan = std::min(2 * scan, kScanBytes)) {
        const std::size_t before = static_cast<std::size_t>(std::min<std::uint64_t>(offset, context));
        const std::size_t got = read_some(fd, block.data(), before + scan, offset - before, true, nullptr);
        if (got == kReadFailed) fail_to_read(name);
        if (got <= before) return offset;
        const std::string_view seen(block.data(), got);
        // A line that ends in what was read ends the chunk; a longer one is cut.
        if (const std::size_t end = seen.find_first_of(std::string_view("\n\0", 2), before); end != std::string_view::npos)
            return offset - before + end + 1;
        const std::size_t cut = cuts ? cuts->first_cut(seen, before, got) : LineCutRule::kNone;
        if (cut != LineCutRule::kNone) return offset - before + cut;
        offset += got - before;
    }
}

}  // namespace vocarix
