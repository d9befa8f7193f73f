#include "learning/corpus_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "document/text.hpp"

namespace vocarix {
namespace {

constexpr std::size_t kBlockBytes = 1 << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Reads up to `size` bytes at `offset` (or from the stream's place when
// `seekable` is false); 0 at the end. Retries a read a signal cut short.
std::size_t read_some(int fd, char* into, std::size_t size, std::uint64_t offset, bool seekable) {
    for (;;) {
        ssize_t got = seekable ? ::pread(fd, into, size, static_cast<off_t>(offset)) : ::read(fd, into, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return static_cast<std::size_t>(-1);
    }
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

CorpusReader::CorpusReader(int fd, std::string name, std::uint64_t start, std::uint64_t end, bool seekable)
    : fd_(fd), name_(std::move(name)), position_(start), end_(end), seekable_(seekable), buffer_start_(start) {}

void CorpusReader::fail(const std::string& why) const { throw CorpusError(name_ + ": " + why); }

void CorpusReader::read_block() {
    if (ended_) return;
    std::size_t want = kBlockBytes;
    if (end_ != kToEnd) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, end_ - position_));
    if (want == 0) {
        ended_ = true;
        return;
    }
    const std::size_t before = buffer_.size();
    buffer_.resize(before + want);
    const std::size_t got = read_some(fd_, buffer_.data() + before, want, position_, seekable_);
    if (got == static_cast<std::size_t>(-1)) {
        buffer_.resize(before);
        fail(std::string("cannot be read: ") + std::strerror(errno));
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
    if (const void* line_break = ::memrchr(fresh.data(), '\n', complete))
        lines_end_ = checked_ + static_cast<std::size_t>(static_cast<const char*>(line_break) - fresh.data()) + 1;
    checked_ += complete;
}

bool CorpusReader::next(std::string_view& text, std::uint64_t& first_byte, std::size_t min_bytes) {
    buffer_.erase(0, handed_out_);
    buffer_start_ += handed_out_;
    checked_ -= handed_out_;
    lines_end_ = lines_end_ >= handed_out_ ? lines_end_ - handed_out_ : 0;
    handed_out_ = 0;
    // Read until the checked bytes hold min_bytes and a line break, or the input ends.
    while (!ended_ && (checked_ < min_bytes || lines_end_ == 0)) {
        read_block();
        check_new_bytes(ended_);
    }
    const std::size_t cut = ended_ ? buffer_.size() : lines_end_;
    text = std::string_view(buffer_).substr(0, cut);
    first_byte = buffer_start_;
    handed_out_ = cut;
    lines_end_ = 0;
    return cut > 0;
}

std::uint64_t line_end_after(int fd, std::string_view name, std::uint64_t offset) {
    constexpr std::size_t kScanBytes = 64 << 10;
    std::string block(kScanBytes, '\0');
    for (;;) {
        const std::size_t got = read_some(fd, block.data(), block.size(), offset, true);
        if (got == static_cast<std::size_t>(-1))
            throw CorpusError(std::string(name) + ": cannot be read: " + std::strerror(errno));
        if (got == 0) return offset;
        const std::string_view seen(block.data(), got);
        const std::size_t stop = seen.find_first_of(std::string_view("\n\0", 2));
        if (stop != std::string_view::npos) return offset + stop + 1;
        offset += got;
    }
}

}  // namespace vocarix
