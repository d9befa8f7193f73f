// Where each pre-tokenizer cuts text: the runtime's rule for each kind, on
// the character classes of its regular-expression engine.
#include <algorithm>

#include "analysis/byte_level_patterns.hpp"
#include "analysis/pre_tokenizer.hpp"
#include "analysis/text_classes.hpp"
#include "analysis/unicode_scripts.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

// A stretch of the text that the pattern matched, or one between matches.
struct Segment {
    std::size_t begin, end;
    bool match;
};

// The text cut into matches and the stretches between them, then into the
// pieces a split behavior keeps, as the runtime's split does.
class Segments {
public:
    explicit Segments(std::string_view text) : text_(text) {}

    // Every character the predicate holds for is a match of its own.
    template <class Pred>
    void each_char(Pred pred) {
        const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
        for (std::size_t i = 0; i < text_.size();) {
            std::size_t length = utf8_sequence_length(p[i]);
            if (pred(decode_utf8_sequence(p + i, length))) add_match(i, i + length);
            i += length;
        }
    }
    void add_matches(const std::vector<TextSpan>& matches) {
        for (const TextSpan& match : matches) add_match(match.begin, match.end);
    }
    void add_match(std::size_t begin, std::size_t end) {
        if (last_ < begin) list_.push_back({last_, begin, false});
        list_.push_back({begin, end, true});
        last_ = end;
    }

    // The pieces the behavior keeps, empty ones left out.
    void pieces(SplitBehavior behavior, bool invert, std::vector<TextSpan>& out) {
        if (last_ < text_.size()) list_.push_back({last_, text_.size(), false});
        last_ = text_.size();
        if (invert)
            for (Segment& segment : list_) segment.match = !segment.match;
        kept_.clear();
        bool previous_match = false;
        switch (behavior) {
            case SplitBehavior::kIsolated: kept_ = list_; break;
            case SplitBehavior::kRemoved:
                for (const Segment& segment : list_)
                    if (!segment.match) kept_.push_back(segment);
                break;
            case SplitBehavior::kContiguous:
                // Neighbours that both match, or both do not, become one piece.
                for (const Segment& segment : list_) {
                    if (segment.match == previous_match && !kept_.empty()) kept_.back().end = segment.end;
                    else kept_.push_back(segment);
                    previous_match = segment.match;
                }
                break;
            case SplitBehavior::kMergedWithPrevious:
                // A match joins the piece before it, unless that piece is a match too.
                for (const Segment& segment : list_) {
                    if (segment.match && !previous_match && !kept_.empty()) kept_.back().end = segment.end;
                    else kept_.push_back(segment);
                    previous_match = segment.match;
                }
                break;
            case SplitBehavior::kMergedWithNext:
                for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
                    if (it->match && !previous_match && !kept_.empty()) kept_.back().begin = it->begin;
                    else kept_.push_back(*it);
                    previous_match = it->match;
                }
                std::reverse(kept_.begin(), kept_.end());
                break;
        }
        for (const Segment& segment : kept_)
            if (segment.begin < segment.end) out.push_back({segment.begin, segment.end});
    }

private:
    std::string_view text_;
    std::vector<Segment> list_, kept_;
    std::size_t last_ = 0;
};

// Calls f(code point, start, length) for every character of valid UTF-8 text.
template <class F>
void each_code_point(std::string_view text, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8_sequence_length(p[i]);
        f(decode_utf8_sequence(p + i, length), i, length);
        i += length;
    }
}

// \w+|[^\w\s]+ (the Whitespace pre-tokenizer keeps these runs).
void word_runs(std::string_view text, Segments& segments) {
    const TextClasses& classes = text_classes();
    std::size_t run_begin = 0, run_end = 0;
    int run_kind = -1;  // 1: word characters, 0: others, -1: none
    each_code_point(text, [&](std::uint32_t cp, std::size_t at, std::size_t length) {
        int kind = classes.white_space.contains(cp) ? -1 : classes.is_word(cp) ? 1 : 0;
        if (kind != run_kind || kind < 0) {
            if (run_kind >= 0) segments.add_match(run_begin, run_end);
            run_begin = at;
        }
        run_kind = kind;
        run_end = at + length;
    });
    if (run_kind >= 0) segments.add_match(run_begin, run_end);
}

// A piece from every character whose script differs from the script of the
// character before it, spaces and characters of no script skipped (they
// stay with the piece they fall in, and before the first piece they are
// dropped), as the runtime does; Japanese kana count as Han.
void script_runs(std::string_view text, std::vector<TextSpan>& pieces) {
    constexpr int kNone = -2;
    static const int han = script_of(0x4E00), hiragana = script_of(0x3042), katakana = script_of(0x30A2);
    std::size_t first = pieces.size();
    int last = kNone;
    each_code_point(text, [&](std::uint32_t cp, std::size_t at, std::size_t) {
        int script = cp == ' ' ? kNoScript : cp == 0x30FC ? han : script_of(cp);
        if (script == hiragana || script == katakana) script = han;
        if (script == kNoScript || script == last) return;
        if (pieces.size() > first) pieces.back().end = at;
        pieces.push_back({at, text.size()});
        last = script;
    });
}

// Pieces of `length` characters, the last one shorter.
void fixed_length_pieces(std::string_view text, std::size_t length, std::vector<TextSpan>& pieces) {
    std::size_t start = 0, count = 0;
    each_code_point(text, [&](std::uint32_t, std::size_t at, std::size_t) {
        if (count == length) {
            pieces.push_back({start, at});
            start = at;
            count = 0;
        }
        ++count;
    });
    if (start < text.size()) pieces.push_back({start, text.size()});
}

void regex_matches(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& matches) {
    if (step.pattern != PreTokenStep::Pattern::kEngine) match_known_pattern(step.pattern, text, matches);
    else step.regex->find_all(text, matches);
}

}  // namespace

bool is_han_character(std::uint32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2B81F) || (cp >= 0x2B920 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0x2F800 && cp <= 0x2FA1F);
}

void split_by_step(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& pieces) {
    if (text.empty()) return;
    const TextClasses& classes = text_classes();
    Segments segments(text);
    switch (step.kind) {
        case PreTokenKind::kByteLevel:
            if (!step.use_regex) break;
            [[fallthrough]];
        case PreTokenKind::kSplitRegex:
        case PreTokenKind::kSplitString: {
            std::vector<TextSpan> matches;
            regex_matches(step, text, matches);
            segments.add_matches(matches);
            if (step.kind == PreTokenKind::kByteLevel) break;
            segments.pieces(step.behavior, step.invert, pieces);
            return;
        }
        case PreTokenKind::kMetaspace:
            if (step.split) segments.each_char([&](std::uint32_t cp) { return cp == decode_utf8_sequence(
                reinterpret_cast<const unsigned char*>(step.text.data()), step.text.size()); });
            segments.pieces(SplitBehavior::kMergedWithNext, false, pieces);
            return;
        case PreTokenKind::kWhitespace:
            word_runs(text, segments);
            segments.pieces(SplitBehavior::kRemoved, true, pieces);
            return;
        case PreTokenKind::kWhitespaceSplit:
            segments.each_char([&](std::uint32_t cp) { return classes.white_space.contains(cp); });
            segments.pieces(SplitBehavior::kRemoved, false, pieces);
            return;
        case PreTokenKind::kBert: {
            std::vector<TextSpan> words;
            segments.each_char([&](std::uint32_t cp) { return classes.white_space.contains(cp); });
            segments.pieces(SplitBehavior::kRemoved, false, words);
            for (const TextSpan& word : words) {
                Segments inner(text.substr(word.begin, word.end - word.begin));
                inner.each_char([&](std::uint32_t cp) { return classes.is_punctuation(cp); });
                std::size_t first = pieces.size();
                inner.pieces(SplitBehavior::kIsolated, false, pieces);
                for (std::size_t i = first; i < pieces.size(); ++i) {
                    pieces[i].begin += word.begin;
                    pieces[i].end += word.begin;
                }
            }
            return;
        }
        case PreTokenKind::kPunctuation:
            segments.each_char([&](std::uint32_t cp) { return classes.is_punctuation(cp); });
            segments.pieces(step.behavior, false, pieces);
            return;
        case PreTokenKind::kDigits:
            segments.each_char([&](std::uint32_t cp) { return classes.is_digit(cp); });
            segments.pieces(step.individual ? SplitBehavior::kIsolated : SplitBehavior::kContiguous, false, pieces);
            return;
        case PreTokenKind::kDelimiter: {
            const std::uint32_t delimiter =
                decode_utf8_sequence(reinterpret_cast<const unsigned char*>(step.text.data()), step.text.size());
            segments.each_char([&](std::uint32_t cp) { return cp == delimiter; });
            segments.pieces(SplitBehavior::kRemoved, false, pieces);
            return;
        }
        case PreTokenKind::kUnicodeScripts: script_runs(text, pieces); return;
        case PreTokenKind::kFixedLength: fixed_length_pieces(text, step.length, pieces); return;
        case PreTokenKind::kHanIsolated: segments.each_char(is_han_character); break;
    }
    segments.pieces(SplitBehavior::kIsolated, false, pieces);
}

}  // namespace vocarix
