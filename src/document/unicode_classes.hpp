// Unicode character classes that pre-tokenizers split text on (general
// categories L, N, M and P, and the White_Space property), those that
// normalizers drop (category C, and Mn), and the simple case mappings that
// lower-casing normalizers and capitalised words use.
#pragma once

#include <cstdint>

namespace vocarix {

struct CodePointRange {
    std::uint32_t first;
    std::uint32_t last;
};

bool is_letter(std::uint32_t cp);
bool is_number(std::uint32_t cp);
bool is_mark(std::uint32_t cp);
bool is_punctuation(std::uint32_t cp);
bool is_white_space(std::uint32_t cp);
bool is_other(std::uint32_t cp);
bool is_nonspacing_mark(std::uint32_t cp);

// The character's upper- or lower-case form where that is one character;
// the character itself otherwise.
std::uint32_t simple_upper(std::uint32_t cp);
std::uint32_t simple_lower(std::uint32_t cp);

}  // namespace vocarix
