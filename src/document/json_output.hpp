// Pretty-printed JSON output: two-space indent, raw non-ASCII, standard
// escapes, shortest round-trip floats. The document writers build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <charconv>
#include <functional>
#include <string>
#include <string_view>

#include "document/document.hpp"
#include "document/json_value.hpp"
#include "document/string_pool.hpp"
#include "document/text.hpp"
#include "document/text_buffer.hpp"

namespace vocarix {

// Shortest text that reads back to the same double: plain decimal for
// 1e-5 <= |v| < 1e16 (".0" on integral values), exponent form otherwise.
// Non-finite values are written as null.
std::string format_double(double value);

// Text a document writer produced, with its statistics. The buffer grows
// without copying, and the statistics are gathered while the text is still
// in cache: both count for documents of tens of megabytes.
class WrittenText {
public:
    WrittenText(TextBuffer text, TextStats stats) : text_(std::move(text)), stats_(stats) {}
    std::string_view view() const { return text_.view(); }
    std::string str() const { return std::string(view()); }
    const TextStats& stats() const { return stats_; }

private:
    TextBuffer text_;
    TextStats stats_;
};

// Receives text piece by piece, in order.
using TextSink = std::function<void(std::string_view)>;

// JsonOutput text with an explicit cursor: appends are a bounds check and a copy.
class JsonOutput {
public:
    explicit JsonOutput(std::size_t expected, bool pretty = true) : buffer_(expected), pretty_(pretty) {}
    // JsonOutput that hands its text to `sink` whenever a piece of about
    // kPieceSize bytes is ready, and at finish(); it keeps no statistics.
    explicit JsonOutput(const TextSink& sink) : buffer_(kPieceSize), sink_(&sink) {}
    bool pretty() const { return pretty_; }

    void put(char c) {
        reserve(1);
        buffer_.data()[length_++] = c;
    }
    void put(std::string_view s) {
        // An empty view may have a null data pointer (the empty vocabulary key), which memcpy must not get.
        if (s.empty()) return;
        reserve(s.size());
        std::memcpy(buffer_.data() + length_, s.data(), s.size());
        length_ += s.size();
    }
    void newline(int level) {
        if (!pretty_) return;
        reserve(1 + 2 * static_cast<std::size_t>(level));
        buffer_.data()[length_++] = '\n';
        std::memset(buffer_.data() + length_, ' ', 2 * static_cast<std::size_t>(level));
        length_ += 2 * static_cast<std::size_t>(level);
    }
    void put_uint(std::uint64_t value) {
        reserve(20);
        auto result = std::to_chars(buffer_.data() + length_, buffer_.data() + length_ + 20, value);
        length_ = static_cast<std::size_t>(result.ptr - buffer_.data());
    }
    void put_int(std::int64_t value) {
        reserve(21);
        auto result = std::to_chars(buffer_.data() + length_, buffer_.data() + length_ + 21, value);
        length_ = static_cast<std::size_t>(result.ptr - buffer_.data());
    }
    void put_string(std::string_view s);

    // Room for `n` bytes written straight through the returned pointer; the
    // caller hands back the end of what it wrote.
    char* claim(std::size_t n) {
        reserve(n);
        return buffer_.data() + length_;
    }
    void commit(const char* end) { length_ = static_cast<std::size_t>(end - buffer_.data()); }

    std::string_view view() const { return {buffer_.view().data(), length_}; }
    void finish() {
        if (length_ > 0) (*sink_)(view());
        length_ = 0;
    }
    WrittenText take() && {
        stats_.add(view().substr(counted_));
        buffer_.set_size(length_);
        return WrittenText(std::move(buffer_), stats_);
    }

private:
    // Text is counted a chunk at a time, soon after it is written.
    static constexpr std::size_t kCountChunk = 64 * 1024;
    static constexpr std::size_t kPieceSize = 1 << 20;

    void reserve(std::size_t n) {
        if (length_ - counted_ >= kCountChunk && !sink_) {
            stats_.add(view().substr(counted_));
            counted_ = length_;
        }
        if (length_ + n <= buffer_.capacity()) return;
        if (sink_ && length_ > 0) {
            (*sink_)(view());
            length_ = 0;
            if (n <= buffer_.capacity()) return;
        }
        buffer_.grow(length_ + n);
    }

    TextBuffer buffer_;
    std::size_t length_ = 0;
    std::size_t counted_ = 0;
    TextStats stats_;
    bool pretty_ = true;
    const TextSink* sink_ = nullptr;
};

// Writes `"key": ` on a new line of an object whose members sit at `level`.
class Members {
public:
    Members(JsonOutput& out, int level) : out_(out), level_(level) {}
    JsonOutput& next(std::string_view key) {
        if (count_++) out_.put(',');
        out_.newline(level_);
        out_.put_string(key);
        out_.put(": ");
        return out_;
    }
    int level() const { return level_; }

private:
    JsonOutput& out_;
    int level_;
    int count_ = 0;
};

// The text newline(level) writes.
std::string line_break(bool pretty, int level);

// Copies `s` to `out`; returns the end of the copy.
inline char* copy_to(char* out, std::string_view s) {
    std::memcpy(out, s.data(), s.size());
    return out + s.size();
}

// Copies a pooled string `s` to `out` and tells whether it needs no escaping,
// checking the copy eight bytes at a time. Short strings are copied as two
// whole words (the pool keeps readable bytes after each string), so up to
// kCopySlack bytes past the copy are written and read: the caller owns them,
// and what they hold does not matter.
constexpr std::size_t kCopySlack = StringPool::kReadSlack;
bool copy_if_plain(char* out, std::string_view s);

void write_value(JsonOutput& out, const JsonValue& value, int level);

// Writes compact JSON text pretty-printed: the same layout write_value gives
// the value the text came from, since the text holds no whitespace.
void write_compact(JsonOutput& out, std::string_view text, int level);

// One opaque value, pretty-printed at indentation level 0.
std::string write_json_value(const JsonValue& value);

// One opaque value as compact text, the form CompactJson holds.
CompactJson compact_json(const JsonValue& value);

}  // namespace vocarix
