// The character classes the runtime splits text by, read from the tables of
// its regular-expression engine, so that code splitting text by hand agrees
// with the engine's \p{L}, \p{N}, \s and \w character for character.
#pragma once

#include <cstdint>

#include "analysis/regular_expression.hpp"
#include "analysis/unicode_ages.hpp"

namespace vocarix {

struct TextClasses {
    UnicodeProperty letter{"L"};
    UnicodeProperty number{"N"};  // also what the runtime counts as a digit (Nd, Nl, No)
    UnicodeProperty white_space{"White_Space"};
    UnicodeProperty punctuation{"P"};
    UnicodeProperty symbol{"S"};
    UnicodeProperty word{"Word"};  // the engine's \w: Alphabetic, M, Nd, Pc
    UnicodeProperty join_control{"Join_Control"};
    UnicodeProperty mark{"M"};
    UnicodeProperty nonspacing_mark{"Mn"};
    UnicodeProperty control{"Cc"}, format{"Cf"}, private_use{"Co"};

    // A digit to the Digits pre-tokenizer: Nd, Nl and No, with the numbers
    // Unicode 17.0 added, which the engine's tables (16.0) lack.
    bool is_digit(std::uint32_t cp) const {
        return number.contains(cp) || (cp >= 0x11DE0 && cp <= 0x11DE9) || (cp >= 0x16FF4 && cp <= 0x16FF6);
    }
    // \w of the Whitespace pre-tokenizer's expression, which also counts the joiners.
    bool is_word(std::uint32_t cp) const { return word.contains(cp) || join_control.contains(cp); }
    // Punctuation as the Punctuation and Bert pre-tokenizers see it: ASCII
    // punctuation and symbols, and Unicode 8.0's punctuation (two of its
    // characters have since moved to other categories).
    bool is_punctuation(std::uint32_t cp) const {
        if (cp < 0x80) return (cp >= 33 && cp <= 47) || (cp >= 58 && cp <= 64) || (cp >= 91 && cp <= 96) || (cp >= 123 && cp <= 126);
        return (punctuation.contains(cp) && assigned_in_unicode_8(cp)) || cp == 0x166D || cp == 0x111C9;
    }
    // What the normalizers remove, each as the runtime's tables of its
    // Unicode version see it: accents for StripAccents (marks of Unicode 9.0),
    // accents for the Bert normalizer (nonspacing marks of 8.0), and the Bert
    // normalizer's control characters (control, format and private use
    // characters of 8.0; tab, line feed and carriage return excepted). The
    // characters named are those whose category changed since.
    bool is_accent(std::uint32_t cp) const {
        if (cp == 0x1CF2 || cp == 0x1CF3) return true;  // spacing marks in 9.0, letters now
        return mark.contains(cp) && assigned_in_unicode_9(cp) && cp != 0x111C9;
    }
    bool is_bert_accent(std::uint32_t cp) const {
        if (cp == 0x1734 || cp == 0x1171E) return true;  // nonspacing in 8.0, spacing now
        if (cp == 0x111C9 || cp == 0x1885 || cp == 0x1886 || cp == 0xA9BD) return false;
        return nonspacing_mark.contains(cp) && assigned_in_unicode_8(cp);
    }
    bool is_bert_control(std::uint32_t cp) const {
        if (cp == '\t' || cp == '\n' || cp == '\r') return false;
        return (control.contains(cp) || format.contains(cp) || private_use.contains(cp)) && assigned_in_unicode_8(cp);
    }
};

// Built once, on first use.
const TextClasses& text_classes();

}  // namespace vocarix
