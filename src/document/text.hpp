// Small UTF-8 helpers shared by the reader, the state and the editing operations.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vocarix {

// ---- eight bytes at a time ----

inline constexpr std::uint64_t kByteOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kByteHighs = 0x8080808080808080ULL;

inline std::uint64_t load8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The high bit of each byte of `w` that is zero, and nothing else: exact,
// since no carry crosses from one byte into the next.
inline std::uint64_t zero_bytes(std::uint64_t w) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    return ~(((w & kLow7) + kLow7) | w) & kByteHighs;
}

// Index of the byte that a flag from the functions here marks first in memory.
inline std::size_t first_flagged_byte(std::uint64_t flags) {
    static_assert(std::endian::native == std::endian::little, "words are read little-endian");
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
}

// Nonzero when some byte of `w` is a quote, a backslash or a control character:
// the bytes a JSON string cannot hold as they are. A flag can only be wrong in
// a byte above a truly flagged one, so the lowest flag is always real.
inline std::uint64_t string_stop_bytes(std::uint64_t w) {
    auto has_zero = [](std::uint64_t v) { return (v - kByteOnes) & ~v & kByteHighs; };
    return has_zero(w ^ (kByteOnes * '"')) | has_zero(w ^ (kByteOnes * '\\')) |
           ((w - kByteOnes * 0x20) & ~w & kByteHighs);
}

// True when the `n` < 16 bytes at `p` are ASCII and two-byte UTF-8
// sequences only, as nearly every token of a byte-level vocabulary is; false
// says nothing either way. Reads 16 bytes from `p`.
inline bool is_short_two_byte_utf8(const char* p, std::size_t n) {
    using Bytes16 = unsigned __int128;
    auto repeat = [](std::uint64_t half) { return (Bytes16{half} << 64) | half; };
    Bytes16 x;
    std::memcpy(&x, p, 16);
    x &= (Bytes16{1} << (8 * n)) - 1;
    const Bytes16 highs = repeat(kByteHighs);
    const Bytes16 high = x & highs;
    const Bytes16 bit6 = (x << 1) & highs;
    const Bytes16 lead = high & bit6, continuation = high & ~bit6;
    const Bytes16 bit5 = (x << 2) & highs;
    // 0xC0 and 0xC1 would be overlong: a lead needs one of the bits 0x1E.
    const Bytes16 payload = x & repeat(0x1E1E1E1E1E1E1E1EULL);
    const Bytes16 payload_set = ((payload + repeat(0x7F7F7F7F7F7F7F7FULL)) | payload) & highs;
    return continuation == (lead << 8) && (lead & bit5) == 0 && (lead & ~payload_set) == 0;
}

// Number of Unicode scalar values in a valid UTF-8 string: every byte that is
// not a continuation byte starts a character.
inline std::size_t char_length(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// What converting valid UTF-8 text to fixed-width code units needs to know in
// advance: the character count is the byte count minus the continuation
// bytes, and the largest byte tells the widest character.
struct TextStats {
    std::size_t continuation_bytes = 0;
    unsigned char largest_byte = 0;

    void add(std::string_view text) {
        unsigned char largest = largest_byte;
        std::size_t continuation = 0;
        for (unsigned char c : text) {
            largest = c > largest ? c : largest;
            continuation += (c & 0xC0) == 0x80;
        }
        largest_byte = largest;
        continuation_bytes += continuation;
    }
};

// Length in bytes of the character that starts with lead byte `c`.
inline std::size_t utf8_sequence_length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c < 0xE0) return 2;
    if (c < 0xF0) return 3;
    return 4;
}

// The code point of the well-formed sequence of `length` bytes at `p`.
inline std::uint32_t decode_utf8_sequence(const unsigned char* p, std::size_t length) {
    if (length == 1) return p[0];
    std::uint32_t cp = p[0] & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (p[k] & 0x3Fu);
    return cp;
}

// A token wrapped in <...> or [...]; only the first and last bytes count.
inline bool is_special_token(std::string_view s) {
    if (s.empty()) return false;
    char first = s.front(), last = s.back();
    return (first == '<' && last == '>') || (first == '[' && last == ']');
}

// Returns the byte offset of the first invalid sequence, or s.size() when the
// whole string is valid UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
std::size_t find_invalid_utf8(std::string_view s);

inline bool is_valid_utf8(std::string_view s) { return find_invalid_utf8(s) == s.size(); }

// True when `s` is valid UTF-8, or ends inside a character that the bytes
// after it could still complete: the start of a text that is still arriving.
bool is_valid_utf8_so_far(std::string_view s);

// Appends the UTF-8 encoding of code point `cp` to `out`.
template <class String>
void append_utf8(String& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace vocarix

namespace vocarix {

// `s` as a double-quoted literal for messages: backslash, quote, tab, line
// feed, carriage return and NUL escaped as \\ \" \t \n \r \0, other control,
// format and combining characters as \u{hex}; printable text kept as is.
std::string debug_quoted(std::string_view s);

// Appends `text` as a JSON string the way Python's json module writes it:
// with `ascii`, every non-ASCII character and DEL as \uXXXX (surrogate pairs
// above the plane); without, raw UTF-8 and only control characters escaped.
void append_python_json_string(std::string& out, std::string_view text, bool ascii);

}  // namespace vocarix
