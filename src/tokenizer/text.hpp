// Small UTF-8 helpers shared by the reader, the state and the editing operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vocarix {

// Number of Unicode scalar values in a valid UTF-8 string: every byte that is
// not a continuation byte starts a character.
inline std::size_t char_length(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Length in bytes of the character that starts with lead byte `c`.
inline std::size_t utf8_sequence_length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c < 0xE0) return 2;
    if (c < 0xF0) return 3;
    return 4;
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

}  // namespace vocarix
