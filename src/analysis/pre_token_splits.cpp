// Where each pre-tokenizer cuts text: the runtime's rule for each kind, on
// the character classes of its regular-expression engine. Pieces are handed
// on as soon as they are known, so that cutting a text of any length keeps
// no list of its matches.
#include "analysis/known_patterns.hpp"
#include "analysis/pre_tokenizer.hpp"
#include "analysis/text_classes.hpp"
#include "analysis/unicode_scripts.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

// The matches of a pattern, in order, turned into the pieces a split
// behavior keeps, as the runtime's split does: the text cut into matches
// and the stretches between them (flags flipped by invert), neighbours
// merged as the behavior says, empty pieces left out. At most one piece
// waits for the next stretch to know whether they merge.
class PieceCutter {
public:
    PieceCutter(std::size_t text_size, SplitBehavior behavior, bool invert, SpanSink on_piece)
        : size_(text_size), behavior_(behavior), invert_(invert), on_piece_(on_piece) {}

    void match(std::size_t begin, std::size_t end) {
        if (last_ < begin) stretch({last_, begin}, false);
        stretch({begin, end}, true);
        last_ = end;
    }
    void finish() {
        if (last_ < size_) stretch({last_, size_}, false);
        last_ = size_;
        if (waiting_) emit(pending_);
        waiting_ = false;
    }

private:
    void emit(TextSpan piece) {
        if (piece.begin < piece.end) on_piece_(piece);
    }
    void stretch(TextSpan span, bool matched) {
        if (invert_) matched = !matched;
        switch (behavior_) {
            case SplitBehavior::kIsolated: emit(span); break;
            case SplitBehavior::kRemoved:
                if (!matched) emit(span);
                break;
            case SplitBehavior::kContiguous:
                // Neighbours that both match, or both do not, become one piece.
                join_or_keep(span, matched == previous_);
                break;
            case SplitBehavior::kMergedWithPrevious:
                // A match joins the piece before it, unless that piece is a match too.
                join_or_keep(span, matched && !previous_);
                break;
            case SplitBehavior::kMergedWithNext:
                // A match joins the stretch after it, unless that one is a match too.
                if (waiting_ && !matched) {
                    emit({pending_.begin, span.end});
                    waiting_ = false;
                } else {
                    if (waiting_) emit(pending_);
                    waiting_ = matched;
                    if (matched) pending_ = span;
                    else emit(span);
                }
                break;
        }
        previous_ = matched;
    }
    // The waiting piece grows by `span` when `joins`; otherwise it goes and `span` waits.
    void join_or_keep(TextSpan span, bool joins) {
        if (joins && waiting_) {
            pending_.end = span.end;
            return;
        }
        if (waiting_) emit(pending_);
        pending_ = span;
        waiting_ = true;
    }

    std::size_t size_;
    SplitBehavior behavior_;
    bool invert_;
    SpanSink on_piece_;
    std::size_t last_ = 0;
    bool previous_ = false;  // the flag of the last stretch
    bool waiting_ = false;
    TextSpan pending_{0, 0};
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

// Every character the predicate holds for is a match of its own.
template <class Pred>
void each_char_matches(std::string_view text, PieceCutter& cutter, Pred pred) {
    each_code_point(text, [&](std::uint32_t cp, std::size_t at, std::size_t length) {
        if (pred(cp)) cutter.match(at, at + length);
    });
}

// \w+|[^\w\s]+ (the Whitespace pre-tokenizer keeps these runs).
void word_runs(std::string_view text, PieceCutter& cutter) {
    const TextClasses& classes = text_classes();
    std::size_t run_begin = 0, run_end = 0;
    int run_kind = -1;  // 1: word characters, 0: others, -1: none
    each_code_point(text, [&](std::uint32_t cp, std::size_t at, std::size_t length) {
        int kind = classes.white_space.contains(cp) ? -1 : classes.is_word(cp) ? 1 : 0;
        if (kind != run_kind || kind < 0) {
            if (run_kind >= 0) cutter.match(run_begin, run_end);
            run_begin = at;
        }
        run_kind = kind;
        run_end = at + length;
    });
    if (run_kind >= 0) cutter.match(run_begin, run_end);
}

// A piece from every character whose script differs from the script of the
// character before it, spaces and characters of no script skipped (they
// stay with the piece they fall in, and before the first piece they are
// dropped), as the runtime does; Japanese kana count as Han.
void script_runs(std::string_view text, SpanSink on_piece) {
    constexpr int kNone = -2;
    static const int han = script_of(0x4E00), hiragana = script_of(0x3042), katakana = script_of(0x30A2);
    int last = kNone;
    std::size_t start = text.size();
    each_code_point(text, [&](std::uint32_t cp, std::size_t at, std::size_t) {
        int script = cp == ' ' ? kNoScript : cp == 0x30FC ? han : script_of(cp);
        if (script == hiragana || script == katakana) script = han;
        if (script == kNoScript || script == last) return;
        if (last != kNone) on_piece({start, at});
        start = at;
        last = script;
    });
    if (start < text.size()) on_piece({start, text.size()});
}

// Pieces of `length` characters, the last one shorter.
void fixed_length_pieces(std::string_view text, std::size_t length, SpanSink on_piece) {
    std::size_t start = 0, count = 0;
    each_code_point(text, [&](std::uint32_t, std::size_t at, std::size_t) {
        if (count == length) {
            on_piece({start, at});
            start = at;
            count = 0;
        }
        ++count;
    });
    if (start < text.size()) on_piece({start, text.size()});
}

void pattern_matches(const PreTokenStep& step, std::string_view text, PieceCutter& cutter) {
    auto on_match = [&](TextSpan match) { cutter.match(match.begin, match.end); };
    if (step.pattern != PreTokenStep::Pattern::kEngine) match_known_pattern(step.pattern, text, on_match);
    else step.regex->for_each_match(text, on_match);
}

}  // namespace

bool is_han_character(std::uint32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2B81F) || (cp >= 0x2B920 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0x2F800 && cp <= 0x2FA1F);
}

void for_each_piece(const PreTokenStep& step, std::string_view text, SpanSink on_piece) {
    if (text.empty()) return;
    const TextClasses& classes = text_classes();
    auto cut = [&](SplitBehavior behavior, bool invert, auto&& find_matches) {
        PieceCutter cutter(text.size(), behavior, invert, on_piece);
        find_matches(cutter);
        cutter.finish();
    };
    switch (step.kind) {
        case PreTokenKind::kByteLevel:
            if (!step.use_regex) return on_piece({0, text.size()});
            return cut(SplitBehavior::kIsolated, false, [&](PieceCutter& c) { pattern_matches(step, text, c); });
        case PreTokenKind::kSplitRegex:
        case PreTokenKind::kSplitString:
            return cut(step.behavior, step.invert, [&](PieceCutter& c) { pattern_matches(step, text, c); });
        case PreTokenKind::kMetaspace: {
            const std::uint32_t marker =
                decode_utf8_sequence(reinterpret_cast<const unsigned char*>(step.text.data()), step.text.size());
            return cut(SplitBehavior::kMergedWithNext, false, [&](PieceCutter& c) {
                if (step.split) each_char_matches(text, c, [&](std::uint32_t cp) { return cp == marker; });
            });
        }
        case PreTokenKind::kWhitespace:
            return cut(SplitBehavior::kRemoved, true, [&](PieceCutter& c) { word_runs(text, c); });
        case PreTokenKind::kWhitespaceSplit:
            return cut(SplitBehavior::kRemoved, false, [&](PieceCutter& c) {
                each_char_matches(text, c, [&](std::uint32_t cp) { return classes.white_space.contains(cp); });
            });
        case PreTokenKind::kBert: {
            // Words between white space, then punctuation isolated inside each.
            auto on_word = [&](TextSpan word) {
                auto shifted = [&](TextSpan piece) { on_piece({word.begin + piece.begin, word.begin + piece.end}); };
                const std::string_view inner = text.substr(word.begin, word.end - word.begin);
                PieceCutter cutter(inner.size(), SplitBehavior::kIsolated, false, shifted);
                each_char_matches(inner, cutter, [&](std::uint32_t cp) { return classes.is_punctuation(cp); });
                cutter.finish();
            };
            PieceCutter words(text.size(), SplitBehavior::kRemoved, false, on_word);
            each_char_matches(text, words, [&](std::uint32_t cp) { return classes.white_space.contains(cp); });
            words.finish();
            return;
        }
        case PreTokenKind::kPunctuation:
            return cut(step.behavior, false, [&](PieceCutter& c) {
                each_char_matches(text, c, [&](std::uint32_t cp) { return classes.is_punctuation(cp); });
            });
        case PreTokenKind::kDigits:
            return cut(step.individual ? SplitBehavior::kIsolated : SplitBehavior::kContiguous, false,
                       [&](PieceCutter& c) {
                           each_char_matches(text, c, [&](std::uint32_t cp) { return classes.is_digit(cp); });
                       });
        case PreTokenKind::kDelimiter: {
            const std::uint32_t delimiter =
                decode_utf8_sequence(reinterpret_cast<const unsigned char*>(step.text.data()), step.text.size());
            return cut(SplitBehavior::kRemoved, false, [&](PieceCutter& c) {
                each_char_matches(text, c, [&](std::uint32_t cp) { return cp == delimiter; });
            });
        }
        case PreTokenKind::kUnicodeScripts: return script_runs(text, on_piece);
        case PreTokenKind::kFixedLength: return fixed_length_pieces(text, step.length, on_piece);
        case PreTokenKind::kHanIsolated:
            return cut(SplitBehavior::kIsolated, false,
                       [&](PieceCutter& c) { each_char_matches(text, c, is_han_character); });
    }
}

void split_by_step(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& pieces) {
    auto append = [&](TextSpan piece) { pieces.push_back(piece); };
    for_each_piece(step, text, append);
}

}  // namespace vocarix
