// A cursor over JSON text: lexing, generic values and typed fields, with
// errors that name the problem and its line and column. The document reader
// builds on it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "document/errors.hpp"
#include "document/json_value.hpp"
#include "document/text.hpp"

namespace vocarix {

// Arrays and objects nested this deep (counting the document itself) are refused.
inline constexpr int kMaxJsonDepth = 128;

struct NumberText {
    std::string_view text;
    bool negative = false;
    bool integer = true;  // no fraction and no exponent
};

#if defined(__SSE2__)
// 0xFF for each of 16 bytes that is whitespace JSON allows between tokens.
inline __m128i blanks_of(__m128i bytes) {
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
                        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
}
// 0xFF for each byte a JSON string cannot hold as it is: a quote, a
// backslash, or a control character (one whose unsigned maximum with 0x1F is 0x1F).
inline __m128i string_stops_of(__m128i bytes) {
    const __m128i below_space = _mm_set1_epi8(0x1F);
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, below_space), below_space);
    const __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
    return _mm_or_si128(ends, control);
}

// What each of 64 bytes is, one bit per byte (bit i for p[i]), for reading
// plainly laid out elements without a step per byte.
struct ByteMasks {
    std::uint64_t quotes = 0;
    std::uint64_t string_stops = 0;  // quotes, backslashes and control characters
    std::uint64_t blanks = 0;        // the whitespace JSON allows between tokens

    // Reads 64 bytes from p.
    [[gnu::always_inline]] explicit ByteMasks(const char* p) {
        for (int k = 0; k < 4; ++k) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const int shift = 16 * k;
            quotes |= bits(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'))) << shift;
            string_stops |= bits(string_stops_of(bytes)) << shift;
            blanks |= bits(blanks_of(bytes)) << shift;
        }
    }
    // The first byte after byte `at` that `mask` flags, or 64 when there is none.
    static int next(std::uint64_t mask, int at) {
        const std::uint64_t after = at >= 63 ? 0 : mask & (~std::uint64_t{0} << (at + 1));
        return after ? std::countr_zero(after) : 64;
    }
    int next_token(int at) const { return next(~blanks, at); }
    bool is_quote(int at) const { return at < 64 && ((quotes >> at) & 1); }
    // The end of the string whose opening quote is at `open`, or -1 unless
    // its closing quote comes first among the bytes a string cannot hold.
    int string_end(int open) const {
        const int close = next(string_stops, open);
        return is_quote(close) ? close : -1;
    }

private:
    static std::uint64_t bits(__m128i flags) { return static_cast<std::uint16_t>(_mm_movemask_epi8(flags)); }
};
#endif

class JsonCursor {
public:
    explicit JsonCursor(std::string_view text)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    JsonValue parse_value(int depth);
    void expect_end() {
        skip_ws();
        if (p_ != end_) fail("trailing characters", p_ + 1);
    }

protected:
    // ---- errors ----
    // `stop` is one past the offending character: the column is that character's, 1-based.
    [[noreturn]] void fail(std::string_view what, const char* stop) const;
    [[noreturn]] void fail_eof(std::string_view what) const { fail(what, end_); }
    // Reports the value at the cursor as the wrong type for `expected`.
    [[noreturn]] void fail_type(std::string_view expected);

    // ---- lexing ----
    void skip_ws() {
        // Mostly the cursor is at a token already: every byte above ' ' is one.
        if (p_ < end_ && static_cast<unsigned char>(*p_) > ' ') return;
#if defined(__SSE2__)
        // A line break and its indent, sixteen bytes at a time.
        while (p_ + 16 <= end_) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
            const unsigned not_space = ~static_cast<unsigned>(_mm_movemask_epi8(blanks_of(bytes))) & 0xFFFFu;
            if (not_space) {
                p_ += __builtin_ctz(not_space);
                return;
            }
            p_ += 16;
        }
#endif
        // Indents are runs of spaces: skip them a word at a time.
        while (p_ < end_) {
            char c = *p_;
            if (c == ' ' && p_ + 8 <= end_) {
                std::uint64_t other = ~zero_bytes(load8(p_) ^ (kByteOnes * ' ')) & kByteHighs;
                p_ += other ? first_flagged_byte(other) : 8;
            } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                ++p_;
            } else {
                return;
            }
        }
    }
    bool at_end() const { return p_ == end_; }
    char peek() const { return *p_; }

    std::string_view parse_string();
    NumberText scan_number();
    JsonValue number_value(const NumberText& number);
    void parse_literal(std::string_view word);
    // `depth` counts the containers enclosing the one being opened.
    void enter(int depth) const {
        if (depth + 1 >= kMaxJsonDepth) fail("recursion limit exceeded", p_ + 1);
    }

    // Walks the members of an object; `on_member(key)` must consume the value.
    template <class OnMember>
    void for_each_member(OnMember&& on_member) {
        for_each_placed_member([&](std::string_view key, const char*) { on_member(key); });
    }
    // The same, `on_member(key, key_start)` also told where the key's opening quote is.
    template <class OnMember>
    void for_each_placed_member(OnMember&& on_member);
    // Walks the elements of an array; `on_element(index)` must consume the element.
    template <class OnElement>
    std::size_t for_each_element(OnElement&& on_element);

    // ---- typed fields ----
    std::string read_string();
    std::optional<std::string> read_optional_string();
    bool read_bool();
    std::optional<double> read_optional_f64();
    JsonArray read_value_list(int depth);
    std::uint32_t read_u32();

    const char* begin_;
    const char* p_;
    const char* end_;
    // Off where every string read is checked later, before it is taken
    // (merge parts read on two threads: those the pool holds are valid).
    bool checks_utf8_ = true;

private:
    void check_utf8(std::string_view raw) const;
    std::string_view parse_string_slow(const char* start, const char* q);
    std::uint32_t parse_hex4();

    std::string scratch_;
};

template <class OnMember>
void JsonCursor::for_each_placed_member(OnMember&& on_member) {
    ++p_;  // '{'
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing an object");
    if (peek() == '}') {
        ++p_;
        return;
    }
    for (;;) {
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        if (peek() != '"') fail("key must be a string", p_ + 1);
        const char* key_start = p_;
        std::string_view key = parse_string();
        on_member(key, key_start);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        char c = peek();
        ++p_;
        if (c == '}') return;
        if (c != ',') fail("expected `,` or `}`", p_);
        skip_ws();
        if (!at_end() && peek() == '}') fail("trailing comma", p_ + 1);
    }
}

template <class OnElement>
std::size_t JsonCursor::for_each_element(OnElement&& on_element) {
    ++p_;  // '['
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a list");
    std::size_t count = 0;
    if (peek() == ']') {
        ++p_;
        return 0;
    }
    for (;;) {
        on_element(count++);
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing a list");
        char c = peek();
        ++p_;
        if (c == ']') return count;
        if (c != ',') fail("expected `,` or `]`", p_);
        skip_ws();
        if (!at_end() && peek() == ']') fail("trailing comma", p_ + 1);
    }
}

}  // namespace vocarix
