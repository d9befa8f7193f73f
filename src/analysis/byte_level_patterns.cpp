#include "analysis/byte_level_patterns.hpp"

#include <utility>

#include "analysis/text_classes.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

constexpr std::string_view kThreeDigitsPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kOneDigitPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

enum class CharClass : std::uint8_t { kLetter, kNumber, kSpace, kOther };

// The text decoded once: each character's class and where it starts.
class ClassifiedText {
public:
    ClassifiedText(std::string_view text, const TextClasses& classes) : text_(text) {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        for (std::size_t i = 0; i < text.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            std::uint32_t cp = length == 1 ? p[i] : decode_utf8_sequence(p + i, length);
            offsets_.push_back(i);
            code_points_.push_back(cp);
            classes_.push_back(classify(cp, classes));
            i += length;
        }
        offsets_.push_back(text.size());
    }
    std::size_t size() const { return code_points_.size(); }
    std::uint32_t cp(std::size_t i) const { return code_points_[i]; }
    CharClass of(std::size_t i) const { return classes_[i]; }
    std::size_t offset(std::size_t i) const { return offsets_[i]; }
    // The first character at or after `from` whose class is not `c`.
    std::size_t run_end(std::size_t from, CharClass c) const {
        while (from < size() && classes_[from] == c) ++from;
        return from;
    }
    std::size_t whitespace_end(std::size_t from) const { return run_end(from, CharClass::kSpace); }

private:
    static CharClass classify(std::uint32_t cp, const TextClasses& classes) {
        if (cp < 0x80) {
            if ((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z') return CharClass::kLetter;
            if (cp >= '0' && cp <= '9') return CharClass::kNumber;
            if (cp == ' ' || (cp >= 9 && cp <= 13)) return CharClass::kSpace;
            return CharClass::kOther;
        }
        if (classes.letter.contains(cp)) return CharClass::kLetter;
        if (classes.number.contains(cp)) return CharClass::kNumber;
        if (classes.white_space.contains(cp)) return CharClass::kSpace;
        return CharClass::kOther;
    }

    std::string_view text_;
    std::vector<std::uint32_t> code_points_;
    std::vector<CharClass> classes_;
    std::vector<std::size_t> offsets_;
};

bool is_line_break(std::uint32_t cp) { return cp == '\r' || cp == '\n'; }

// The letters the engine matches a contraction's letter with, ignoring case:
// the two ASCII cases, and the long s (U+017F), whose case folding is "s".
std::uint32_t folded(std::uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp | 0x20;
    return cp == 0x17F ? 's' : cp;
}

// Characters of the contraction ('s, 't, 're, 've, 'm, 'll, 'd) at `at`; 0 for none.
std::size_t contraction_at(const ClassifiedText& text, std::size_t at, bool ignore_case) {
    if (text.cp(at) != '\'' || at + 1 >= text.size()) return 0;
    auto letter = [&](std::size_t i) {
        if (i >= text.size()) return std::uint32_t{0};
        return ignore_case ? folded(text.cp(i)) : text.cp(i);
    };
    switch (letter(at + 1)) {
        case 's': case 't': case 'm': case 'd': return 2;
        case 'r': case 'v': return letter(at + 2) == 'e' ? 3 : 0;
        case 'l': return letter(at + 2) == 'l' ? 3 : 0;
        default: return 0;
    }
}

// \s+(?!\S) then \s+: a run of white space, less its last character when a
// non-space follows the run and the run is longer than one.
std::size_t trailing_space_match(const ClassifiedText& text, std::size_t at) {
    std::size_t end = text.whitespace_end(at);
    return end == text.size() || end - at < 2 ? end : end - 1;
}

// 's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
std::size_t classic_match_end(const ClassifiedText& text, std::size_t at) {
    if (std::size_t length = contraction_at(text, at, false)) return at + length;
    const CharClass here = text.of(at);
    std::size_t start = at;
    if (text.cp(at) == ' ' && at + 1 < text.size() && text.of(at + 1) != CharClass::kSpace) {
        ++start;  // " ?" before a letter, a digit or another character
    } else if (here == CharClass::kSpace) {
        return trailing_space_match(text, at);
    }
    return text.run_end(start, text.of(start));
}

// (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
std::size_t digit_group_match_end(const ClassifiedText& text, std::size_t at, std::size_t max_digits) {
    if (std::size_t length = contraction_at(text, at, true)) return at + length;
    const CharClass here = text.of(at);
    if (here == CharClass::kLetter) return text.run_end(at, CharClass::kLetter);
    const bool next_is_letter = at + 1 < text.size() && text.of(at + 1) == CharClass::kLetter;
    if (here != CharClass::kNumber && !is_line_break(text.cp(at)) && next_is_letter)
        return text.run_end(at + 1, CharClass::kLetter);
    if (here == CharClass::kNumber) return std::min(text.run_end(at, CharClass::kNumber), at + max_digits);
    std::size_t start = text.cp(at) == ' ' && at + 1 < text.size() && text.of(at + 1) == CharClass::kOther ? at + 1 : at;
    if (text.of(start) == CharClass::kOther) {
        std::size_t end = text.run_end(start, CharClass::kOther);
        while (end < text.size() && is_line_break(text.cp(end))) ++end;
        return end;
    }
    // White space: up to its last line break when it holds one.
    std::size_t end = text.whitespace_end(at);
    for (std::size_t i = end; i-- > at;)
        if (is_line_break(text.cp(i))) return i + 1;
    return trailing_space_match(text, at);
}

}  // namespace

PreTokenStep::Pattern known_pattern(std::string_view pattern) {
    using Pattern = PreTokenStep::Pattern;
    for (auto [text, id] : {std::pair{kByteLevelPattern, Pattern::kClassic}, std::pair{kThreeDigitsPattern, Pattern::kThreeDigits},
                            std::pair{kOneDigitPattern, Pattern::kOneDigit}})
        if (pattern == text) return id;
    return Pattern::kEngine;
}

void match_known_pattern(PreTokenStep::Pattern pattern, std::string_view text, std::vector<TextSpan>& matches) {
    ClassifiedText classified(text, text_classes());
    for (std::size_t at = 0; at < classified.size();) {
        std::size_t end = pattern == PreTokenStep::Pattern::kClassic        ? classic_match_end(classified, at)
                          : pattern == PreTokenStep::Pattern::kThreeDigits ? digit_group_match_end(classified, at, 3)
                                                                           : digit_group_match_end(classified, at, 1);
        matches.push_back({classified.offset(at), classified.offset(end)});
        at = end;
    }
}

}  // namespace vocarix
