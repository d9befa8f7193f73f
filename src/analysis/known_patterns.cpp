#include "analysis/known_patterns.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>

#include "analysis/text_classes.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using Pattern = PreTokenStep::Pattern;

constexpr std::string_view kThreeDigitsPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kOneDigitPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kDeepSeekDigitsPattern = R"(\p{N}{1,3})";
constexpr std::string_view kDeepSeekCjkPattern = R"([一-龥\u3040-ゟ゠-ヿ]+)";
constexpr std::string_view kDeepSeekWordsPattern =
    R"([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

// What a character is to these expressions (bits).
enum : std::uint8_t { kLetter = 1, kNumber = 2, kSpace = 4, kMark = 8, kPunctuation = 16, kSymbol = 32 };

std::uint8_t classify(std::uint32_t cp) {
    const TextClasses& classes = text_classes();
    std::uint8_t bits = 0;
    if (classes.letter.contains(cp)) bits |= kLetter;
    if (classes.number.contains(cp)) bits |= kNumber;
    if (classes.white_space.contains(cp)) bits |= kSpace;
    if (classes.mark.contains(cp)) bits |= kMark;
    if (classes.punctuation.contains(cp)) bits |= kPunctuation;
    if (classes.symbol.contains(cp)) bits |= kSymbol;
    return bits;
}

// The classes of every character of the Basic Multilingual Plane.
const std::uint8_t* bmp_classes() {
    static const std::vector<std::uint8_t> bmp = [] {
        std::vector<std::uint8_t> table(0x10000);
        for (std::uint32_t c = 0; c < table.size(); ++c) table[c] = classify(c);
        return table;
    }();
    return bmp.data();
}

// The text read a character at a time, at byte positions: the matchers keep
// no copy of it, however long it is. Classes are looked up (computed beyond
// the Basic Multilingual Plane); ASCII is never decoded.
class CharCursor {
public:
    explicit CharCursor(std::string_view text)
        : text_(text), p_(reinterpret_cast<const unsigned char*>(text.data())), classes_(bmp_classes()) {}
    std::size_t size() const { return text_.size(); }
    std::size_t length(std::size_t at) const { return utf8_sequence_length(p_[at]); }
    std::uint32_t cp(std::size_t at) const {
        return p_[at] < 0x80 ? p_[at] : decode_utf8_sequence(p_ + at, length(at));
    }
    std::size_t next(std::size_t at) const { return at + length(at); }
    std::uint8_t classes_at(std::size_t at) const {
        if (p_[at] < 0x80) return classes_[p_[at]];
        const std::uint32_t c = decode_utf8_sequence(p_ + at, length(at));
        return c < 0x10000 ? classes_[c] : classify(c);
    }
    // Whether there is a character at `at` with any of the classes `bits`.
    bool is(std::size_t at, std::uint8_t bits) const { return at < size() && (classes_at(at) & bits); }
    // The first character at or after `from` that has none of the classes `bits`.
    std::size_t run_end(std::size_t from, std::uint8_t bits) const {
        while (from < size() && (classes_at(from) & bits)) from = next(from);
        return from;
    }
    template <class Pred>
    std::size_t run_end_if(std::size_t from, Pred pred) const {
        while (from < size() && pred(cp(from))) from = next(from);
        return from;
    }

private:
    std::string_view text_;
    const unsigned char* p_;
    const std::uint8_t* classes_;
};

bool is_line_break(std::uint32_t cp) { return cp == '\r' || cp == '\n'; }
bool is_ascii_letter(std::uint32_t cp) { return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z'; }
bool is_ascii_punctuation(std::uint32_t cp) {
    return (cp >= 33 && cp <= 47) || (cp >= 58 && cp <= 64) || (cp >= 91 && cp <= 96) || (cp >= 123 && cp <= 126);
}

// The letters the engine matches a contraction's letter with, ignoring case:
// the two ASCII cases, and the long s (U+017F), whose case folding is "s".
std::uint32_t folded(std::uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp | 0x20;
    return cp == 0x17F ? 's' : cp;
}

// The end of the contraction ('s, 't, 're, 've, 'm, 'll, 'd) at `at`; `at` for none.
std::size_t contraction_end(const CharCursor& text, std::size_t at, bool ignore_case) {
    if (text.cp(at) != '\'') return at;
    const std::size_t second = at + 1;
    auto letter = [&](std::size_t i) -> std::uint32_t {
        if (i >= text.size()) return 0;
        return ignore_case ? folded(text.cp(i)) : text.cp(i);
    };
    const std::uint32_t first_letter = letter(second);
    const std::size_t third = second < text.size() ? text.next(second) : second;
    switch (first_letter) {
        case 's': case 't': case 'm': case 'd': return third;
        case 'r': case 'v': return letter(third) == 'e' ? text.next(third) : at;
        case 'l': return letter(third) == 'l' ? text.next(third) : at;
        default: return at;
    }
}

// \s+(?!\S) then \s+: a run of white space, less its last character when a
// non-space follows the run and the run is longer than one.
std::size_t trailing_space_match(const CharCursor& text, std::size_t at) {
    std::size_t last = at, end = at, chars = 0;
    while (end < text.size() && text.is(end, kSpace)) {
        last = end;
        end = text.next(end);
        ++chars;
    }
    return end == text.size() || chars < 2 ? end : last;
}

// \s*[\r\n]+|\s+(?!\S)|\s+ at white space: up to the last line break of the
// run when it holds one.
std::size_t space_match(const CharCursor& text, std::size_t at) {
    std::size_t after_break = at;
    for (std::size_t i = at; i < text.size() && text.is(i, kSpace); i = text.next(i))
        if (is_line_break(text.cp(i))) after_break = i + 1;
    return after_break != at ? after_break : trailing_space_match(text, at);
}

// The kind of a character to the classic expression: letter, number, space or other (0).
std::uint8_t classic_kind(const CharCursor& text, std::size_t at) {
    return text.is(at, kLetter) ? kLetter : text.is(at, kNumber) ? kNumber : text.is(at, kSpace) ? kSpace : 0;
}

// 's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
std::size_t classic_match_end(const CharCursor& text, std::size_t at) {
    if (std::size_t end = contraction_end(text, at, false); end != at) return end;
    std::size_t start = at;
    if (text.cp(at) == ' ' && at + 1 < text.size() && classic_kind(text, at + 1) != kSpace) ++start;  // " ?" before a word
    else if (classic_kind(text, at) == kSpace) return trailing_space_match(text, at);
    const std::uint8_t run = classic_kind(text, start);
    if (run) return text.run_end(start, run);
    // Neither space, letter nor number: a run of such characters.
    while (start < text.size() && classic_kind(text, start) == 0) start = text.next(start);
    return start;
}

// (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
std::size_t digit_group_match_end(const CharCursor& text, std::size_t at, std::size_t max_digits) {
    if (std::size_t end = contraction_end(text, at, true); end != at) return end;
    if (text.is(at, kLetter)) return text.run_end(at, kLetter);
    const std::size_t second = text.next(at);
    if (!text.is(at, kNumber) && !is_line_break(text.cp(at)) && text.is(second, kLetter))
        return text.run_end(second, kLetter);
    if (text.is(at, kNumber)) {
        std::size_t end = at;
        for (std::size_t digits = 0; digits < max_digits && text.is(end, kNumber); ++digits) end = text.next(end);
        return end;
    }
    auto other = [&](std::size_t i) { return i < text.size() && !text.is(i, kSpace | kLetter | kNumber); };
    const std::size_t start = text.cp(at) == ' ' && other(second) ? second : at;
    if (other(start)) {
        std::size_t end = start;
        while (other(end)) end = text.next(end);
        return text.run_end_if(end, is_line_break);
    }
    return space_match(text, at);
}

// [!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+| ?[\p{P}\p{S}]+[\r\n]*
// |\s*[\r\n]+|\s+(?!\S)|\s+ ; `at` when nothing matches there.
std::size_t deepseek_words_match_end(const CharCursor& text, std::size_t at) {
    const std::uint32_t cp = text.cp(at);
    const std::size_t second = text.next(at);
    if (is_ascii_punctuation(cp) && second < text.size() && is_ascii_letter(text.cp(second)))
        return text.run_end_if(second, is_ascii_letter);
    if (!is_line_break(cp) && !text.is(at, kLetter | kPunctuation | kSymbol) && text.is(second, kLetter | kMark))
        return text.run_end(second, kLetter | kMark);
    if (text.is(at, kLetter | kMark)) return text.run_end(at, kLetter | kMark);
    const std::size_t start = cp == ' ' && text.is(second, kPunctuation | kSymbol) ? second : at;
    if (text.is(start, kPunctuation | kSymbol))
        return text.run_end_if(text.run_end(start, kPunctuation | kSymbol), is_line_break);
    if (text.is(at, kSpace)) return space_match(text, at);
    return at;
}

bool is_deepseek_cjk(std::uint32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FA5) || (cp >= 0x3040 && cp <= 0x309F) || (cp >= 0x30A0 && cp <= 0x30FF);
}

}  // namespace

std::string canonical_spelling(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size());
    auto is_hex = [](char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c != '\\' || i + 1 == pattern.size()) out += c;
        else if (pattern[i + 1] == '"') out += pattern[++i];
        else if (pattern[i + 1] == 'u' && i + 6 <= pattern.size() &&
                 std::all_of(pattern.begin() + i + 2, pattern.begin() + i + 6, is_hex)) {
            std::uint32_t cp = 0;
            std::from_chars(pattern.data() + i + 2, pattern.data() + i + 6, cp, 16);
            // Only characters no syntax gives a meaning to are written out.
            if (cp < 0x80 || (cp >= 0xD800 && cp < 0xE000)) {
                out.append(pattern.substr(i, 6));
            } else {
                append_utf8(out, cp);
            }
            i += 5;
        } else {
            out.append(pattern.substr(i, 2));
            ++i;
        }
    }
    return out;
}

PreTokenStep::Pattern known_pattern(std::string_view pattern) {
    static const auto known = [] {
        std::vector<std::pair<std::string, Pattern>> list;
        for (auto [text, id] : {std::pair{kByteLevelPattern, Pattern::kClassic},
                                std::pair{kThreeDigitsPattern, Pattern::kThreeDigits},
                                std::pair{kOneDigitPattern, Pattern::kOneDigit},
                                std::pair{kDeepSeekDigitsPattern, Pattern::kDeepSeekDigits},
                                std::pair{kDeepSeekCjkPattern, Pattern::kDeepSeekCjk},
                                std::pair{kDeepSeekWordsPattern, Pattern::kDeepSeekWords}})
            list.emplace_back(canonical_spelling(text), id);
        return list;
    }();
    const std::string spelling = canonical_spelling(pattern);
    for (const auto& [text, id] : known)
        if (spelling == text) return id;
    return Pattern::kEngine;
}

void match_known_pattern(PreTokenStep::Pattern pattern, std::string_view text, SpanSink on_match) {
    const CharCursor cursor(text);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at;
        switch (pattern) {
            case Pattern::kClassic: end = classic_match_end(cursor, at); break;
            case Pattern::kThreeDigits: end = digit_group_match_end(cursor, at, 3); break;
            case Pattern::kOneDigit: end = digit_group_match_end(cursor, at, 1); break;
            case Pattern::kDeepSeekDigits:
                for (std::size_t digits = 0; digits < 3 && cursor.is(end, kNumber); ++digits) end = cursor.next(end);
                break;
            case Pattern::kDeepSeekCjk: end = cursor.run_end_if(at, is_deepseek_cjk); break;
            case Pattern::kDeepSeekWords: end = deepseek_words_match_end(cursor, at); break;
            case Pattern::kEngine: return;
        }
        // Where nothing matches, the search goes on at the next character.
        if (end == at) {
            at = cursor.next(at);
            continue;
        }
        on_match({at, end});
        at = end;
    }
}

}  // namespace vocarix
