// Regular expressions as the tokenizer runtime compiles and walks them: the
// Oniguruma engine (third_party/oniguruma, the release the runtime links),
// its own syntax, UTF-8, no options. Matches are found left to right, each
// search starting where the last match ended and seeing the whole text (so
// look-behind and \b read what comes before); an empty match right after a
// match is skipped, and after an empty match the next search starts one
// character further.
//
// The engine's Unicode tables also answer what a class such as \p{L} or \s
// holds (UnicodeProperty), so that code which splits text by hand uses the
// very same classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/text_span.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {

// A pattern the engine refuses, or a search it gives up on.
class RegexError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class RegularExpression {
public:
    // Throws RegexError with the engine's own message.
    explicit RegularExpression(std::string_view pattern);
    ~RegularExpression();
    RegularExpression(const RegularExpression&) = delete;
    RegularExpression& operator=(const RegularExpression&) = delete;

    const std::string& pattern() const { return pattern_; }

    // Hands each match in `text` (valid UTF-8) to `on_match` as a byte span,
    // in order, empty ones included. Safe to call from several threads at
    // once, and from inside `on_match`. Throws RegexError when the engine
    // stops a search at its retry limit.
    void for_each_match(std::string_view text, SpanSink on_match) const;
    // The same, the matches appended to `matches`.
    void find_all(std::string_view text, std::vector<TextSpan>& matches) const;

private:
    std::string pattern_;
    void* regex_ = nullptr;  // the engine's compiled pattern
};

// The pattern that matches `text` literally, escaped as the runtime escapes
// the string of a Split or a Replace before compiling it.
std::string literal_pattern(std::string_view text);

// Whether code points belong to a property the engine knows by name ("L",
// "N", "P", "White_Space", "Alphabetic", a script...), read from its tables.
class UnicodeProperty {
public:
    // Throws RegexError for a name the engine does not know.
    explicit UnicodeProperty(std::string_view name);

    bool contains(std::uint32_t cp) const {
        if (cp < 0x10000) return (bmp_[cp >> 6] >> (cp & 63)) & 1;
        return contains_astral(cp);
    }
    // The property's code points, as ascending ranges.
    const std::vector<CodePointRange>& ranges() const { return ranges_; }

private:
    bool contains_astral(std::uint32_t cp) const;

    std::vector<std::uint64_t> bmp_;
    std::vector<CodePointRange> ranges_;
};

}  // namespace vocarix
