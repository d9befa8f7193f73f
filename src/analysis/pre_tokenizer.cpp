#include "analysis/pre_tokenizer.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "analysis/token_style.hpp"
#include "document/json_reader.hpp"
#include "document/text.hpp"
#include "document/unicode_classes.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

bool is_ascii_punctuation(std::uint32_t cp) {
    return (cp >= 33 && cp <= 47) || (cp >= 58 && cp <= 64) || (cp >= 91 && cp <= 96) || (cp >= 123 && cp <= 126);
}
bool is_punct(std::uint32_t cp) { return is_ascii_punctuation(cp) || is_punctuation(cp); }
bool is_word_char(std::uint32_t cp) { return is_letter(cp) || is_mark(cp) || is_number(cp) || cp == '_'; }

// The code points of `text` and the byte offset each starts at (plus the end).
void decode(std::string_view text, std::vector<std::uint32_t>& cps, std::vector<std::size_t>& offsets) {
    cps.clear();
    offsets.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8_sequence_length(p[i]);
        cps.push_back(decode_utf8_sequence(p + i, length));
        offsets.push_back(i);
        i += length;
    }
    offsets.push_back(text.size());
}

// Length, in code points, of the first match of the byte-level regex
// 's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// Every character starts a match, so the matches cover the text.
std::size_t first_byte_level_match(std::span<const std::uint32_t> cps) {
    const std::size_t n = cps.size();
    if (n >= 2 && cps[0] == '\'') {
        for (std::u32string_view contraction : {U"'s", U"'t", U"'re", U"'ve", U"'m", U"'ll", U"'d"})
            if (n >= contraction.size() && std::equal(contraction.begin(), contraction.end(), cps.begin()))
                return contraction.size();
    }
    auto run = [&](std::size_t from, auto pred) {
        while (from < n && pred(cps[from])) ++from;
        return from;
    };
    auto other = [](std::uint32_t cp) { return !is_white_space(cp) && !is_letter(cp) && !is_number(cp); };
    auto letter = [](std::uint32_t cp) { return is_letter(cp); };
    auto number = [](std::uint32_t cp) { return is_number(cp); };
    auto try_class = [&](auto pred) -> std::size_t {
        if (cps[0] == ' ' && n > 1 && pred(cps[1])) return run(1, pred);
        return pred(cps[0]) ? run(0, pred) : 0;
    };
    if (std::size_t end = try_class(letter)) return end;
    if (std::size_t end = try_class(number)) return end;
    if (std::size_t end = try_class(other)) return end;
    std::size_t spaces = run(0, [](std::uint32_t cp) { return is_white_space(cp); });
    // \s+(?!\S) leaves the last space of a run that a non-space follows.
    return spaces == n || spaces < 2 ? spaces : spaces - 1;
}

// The expressions byte-level files split text with before the byte-level
// mapping (a ByteLevel step with use_regex off follows them).
constexpr std::string_view kClassicRegex = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
constexpr std::string_view kThreeDigitsRegex =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kOneDigitRegex =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

bool is_line_break(std::uint32_t cp) { return cp == '\r' || cp == '\n'; }

// Length, in code points, of the first match of the three-digit (or one-digit) expression:
// (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
// Like the classic one, it matches at every character.
std::size_t first_digit_group_match(std::span<const std::uint32_t> cps, std::size_t max_digits) {
    const std::size_t n = cps.size();
    auto run = [&](std::size_t from, auto pred) {
        while (from < n && pred(cps[from])) ++from;
        return from;
    };
    auto lower = [](std::uint32_t cp) { return cp < 0x80 ? simple_lower(cp) : cp; };
    if (n >= 2 && cps[0] == '\'') {
        for (std::u32string_view contraction : {U"'s", U"'t", U"'re", U"'ve", U"'m", U"'ll", U"'d"})
            if (n >= contraction.size() &&
                std::equal(contraction.begin() + 1, contraction.end(), cps.begin() + 1,
                           [&](char32_t c, std::uint32_t cp) { return c == lower(cp); }))
                return contraction.size();
    }
    auto letter = [](std::uint32_t cp) { return is_letter(cp); };
    auto number = [](std::uint32_t cp) { return is_number(cp); };
    auto space = [](std::uint32_t cp) { return is_white_space(cp); };
    auto other = [](std::uint32_t cp) { return !is_white_space(cp) && !is_letter(cp) && !is_number(cp); };
    if (letter(cps[0])) return run(0, letter);
    if (n > 1 && !is_line_break(cps[0]) && !number(cps[0]) && letter(cps[1])) return run(1, letter);
    if (number(cps[0])) return std::min(run(0, number), max_digits);
    std::size_t start = cps[0] == ' ' && n > 1 && other(cps[1]) ? 1 : 0;
    if (other(cps[start])) return run(run(start, other), is_line_break);
    std::size_t spaces = run(0, space);
    // \s*[\r\n]+: up to the last line break of the run, and the line breaks after it.
    for (std::size_t i = spaces; i-- > 0;)
        if (is_line_break(cps[i])) return run(i, is_line_break);
    return spaces == n || spaces < 2 ? spaces : spaces - 1;
}

std::size_t first_match(PreTokenStep::Pattern pattern, std::span<const std::uint32_t> cps) {
    switch (pattern) {
        case PreTokenStep::Pattern::kClassic: return first_byte_level_match(cps);
        case PreTokenStep::Pattern::kThreeDigits: return first_digit_group_match(cps, 3);
        case PreTokenStep::Pattern::kOneDigit: return first_digit_group_match(cps, 1);
    }
    return cps.size();
}

// A stretch of the text that the pattern matched, or one between matches.
struct Segment {
    std::size_t begin, end;
    bool match;
};

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
    // Occurrences of `pattern`, leftmost first, none overlapping.
    void occurrences(std::string_view pattern) {
        if (pattern.empty()) return;
        for (std::size_t at = text_.find(pattern); at != std::string_view::npos;
             at = text_.find(pattern, at + pattern.size()))
            add_match(at, at + pattern.size());
    }
    void add_match(std::size_t begin, std::size_t end) {
        if (last_ < begin) list_.push_back({last_, begin, false});
        list_.push_back({begin, end, true});
        last_ = end;
    }

    // The pieces the behavior keeps.
    void pieces(SplitBehavior behavior, bool invert, std::vector<TextSpan>& out) {
        if (last_ < text_.size()) list_.push_back({last_, text_.size(), false});
        last_ = text_.size();
        if (invert)
            for (Segment& segment : list_) segment.match = !segment.match;
        std::vector<Segment> kept;
        switch (behavior) {
            case SplitBehavior::kIsolated: kept = list_; break;
            case SplitBehavior::kRemoved:
                for (const Segment& segment : list_)
                    if (!segment.match) kept.push_back(segment);
                break;
            case SplitBehavior::kContiguous:
                for (const Segment& segment : list_) {
                    if (segment.match && !kept.empty() && kept.back().match) kept.back().end = segment.end;
                    else kept.push_back(segment);
                }
                break;
            case SplitBehavior::kMergedWithPrevious: {
                // A match joins the piece before it, unless that piece is a match too.
                bool previous_match = false;
                for (const Segment& segment : list_) {
                    if (segment.match && !previous_match && !kept.empty()) kept.back().end = segment.end;
                    else kept.push_back(segment);
                    previous_match = segment.match;
                }
                break;
            }
            case SplitBehavior::kMergedWithNext: {
                bool previous_match = false;
                for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
                    if (it->match && !previous_match && !kept.empty()) kept.back().begin = it->begin;
                    else kept.push_back(*it);
                    previous_match = it->match;
                }
                std::reverse(kept.begin(), kept.end());
                break;
            }
        }
        for (const Segment& segment : kept)
            if (segment.begin < segment.end) out.push_back({segment.begin, segment.end});
    }

private:
    std::string_view text_;
    std::vector<Segment> list_;
    std::size_t last_ = 0;
};

SplitBehavior behavior_named(const std::string* name, bool& known) {
    known = true;
    if (!name || *name == "Isolated") return SplitBehavior::kIsolated;
    if (*name == "Removed") return SplitBehavior::kRemoved;
    if (*name == "MergedWithPrevious") return SplitBehavior::kMergedWithPrevious;
    if (*name == "MergedWithNext") return SplitBehavior::kMergedWithNext;
    if (*name == "Contiguous") return SplitBehavior::kContiguous;
    known = false;
    return SplitBehavior::kIsolated;
}

PreTokenStep::Prepend metaspace_prepend(const JsonValue& value) {
    if (const std::string* scheme = value.find_string("prepend_scheme")) {
        if (*scheme == "first") return PreTokenStep::Prepend::kFirst;
        if (*scheme == "never") return PreTokenStep::Prepend::kNever;
        return PreTokenStep::Prepend::kAlways;
    }
    // Older files say add_prefix_space instead.
    return value.find_bool("add_prefix_space", true) ? PreTokenStep::Prepend::kAlways : PreTokenStep::Prepend::kNever;
}

// A Split on a string, or Isolated on one of the known expressions: these
// match every character, so their matches are the pieces.
bool read_split(const JsonValue& value, PreTokenStep& step) {
    const JsonValue* pattern = value.find("pattern");
    bool known = false;
    step.behavior = behavior_named(value.find_string("behavior"), known);
    step.invert = value.find_bool("invert", false);
    if (!pattern || !known) return false;
    if (const std::string* text = pattern->find_string("String")) {
        step.kind = PreTokenKind::kSplitString;
        step.text = *text;
        return true;
    }
    const std::string* regex = pattern->find_string("Regex");
    if (!regex || step.behavior != SplitBehavior::kIsolated || step.invert) return false;
    for (auto [expression, id] : {std::pair{kClassicRegex, PreTokenStep::Pattern::kClassic},
                                  std::pair{kThreeDigitsRegex, PreTokenStep::Pattern::kThreeDigits},
                                  std::pair{kOneDigitRegex, PreTokenStep::Pattern::kOneDigit}}) {
        if (*regex != expression) continue;
        step.kind = PreTokenKind::kSplitRegex;
        step.pattern = id;
        return true;
    }
    return false;
}

}  // namespace

bool is_han_character(std::uint32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2B81F) || (cp >= 0x2B920 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0x2F800 && cp <= 0x2FA1F);
}

PreTokenSteps read_pre_token_steps(const DocumentSections& sections) {
    PreTokenSteps out;
    const std::string& section = sections.pre_tokenizer.text;
    if (section == "null") return out;
    JsonValue root = parse_json_value(section);
    std::vector<const JsonValue*> pending{&root};
    auto unsupported = [&](const std::string& why) {
        if (out.unsupported_by.empty()) out.unsupported_by = why;
    };
    while (!pending.empty()) {
        const JsonValue& value = *pending.back();
        pending.pop_back();
        const std::string* type = value.find_string("type");
        PreTokenStep step;
        if (!type) {
            unsupported("a pre-tokenizer without a type");
            continue;
        }
        if (*type == "Sequence") {
            const JsonValue* list = value.find("pretokenizers");
            const auto* items = list ? std::get_if<JsonArray>(&list->data) : nullptr;
            if (!items) unsupported("a Sequence without pretokenizers");
            else
                for (auto it = items->rbegin(); it != items->rend(); ++it) pending.push_back(&*it);
            continue;
        }
        if (*type == "ByteLevel") {
            out.byte_level = true;
            step.kind = PreTokenKind::kByteLevel;
            step.add_prefix_space = value.find_bool("add_prefix_space", true);
            step.use_regex = value.find_bool("use_regex", true);
        } else if (*type == "Metaspace") {
            step.kind = PreTokenKind::kMetaspace;
            const std::string* replacement = value.find_string("replacement");
            step.text = replacement ? *replacement : "\u2581";
            step.split = value.find_bool("split", true);
            step.prepend = metaspace_prepend(value);
            if (step.text.empty() || utf8_sequence_length(static_cast<unsigned char>(step.text[0])) != step.text.size()) {
                unsupported("a Metaspace whose replacement is not one character");
                continue;
            }
        } else if (*type == "Whitespace") {
            step.kind = PreTokenKind::kWhitespace;
        } else if (*type == "WhitespaceSplit") {
            step.kind = PreTokenKind::kWhitespaceSplit;
        } else if (*type == "BertPreTokenizer") {
            step.kind = PreTokenKind::kBert;
        } else if (*type == "Punctuation") {
            step.kind = PreTokenKind::kPunctuation;
            bool known = false;
            step.behavior = behavior_named(value.find_string("behavior"), known);
            if (!known) {
                unsupported("a Punctuation with an unknown behavior");
                continue;
            }
        } else if (*type == "Digits") {
            step.kind = PreTokenKind::kDigits;
            step.individual = value.find_bool("individual_digits", false);
        } else if (*type == "CharDelimiterSplit") {
            const std::string* delimiter = value.find_string("delimiter");
            if (!delimiter || delimiter->empty()) {
                unsupported("a CharDelimiterSplit without a delimiter");
                continue;
            }
            step.kind = PreTokenKind::kDelimiter;
            step.text = *delimiter;
        } else if (*type == "Split") {
            if (!read_split(value, step)) {
                unsupported("a Split on a regular expression vocarix cannot evaluate");
                continue;
            }
        } else {
            unsupported("the pre-tokenizer " + *type);
            continue;
        }
        out.steps.push_back(std::move(step));
    }
    return out;
}

void split_by_step(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& pieces) {
    if (text.empty()) return;
    Segments segments(text);
    switch (step.kind) {
        case PreTokenKind::kByteLevel:
        case PreTokenKind::kSplitRegex: {
            if (step.kind == PreTokenKind::kByteLevel && !step.use_regex) break;
            const auto pattern = step.kind == PreTokenKind::kByteLevel ? PreTokenStep::Pattern::kClassic : step.pattern;
            std::vector<std::uint32_t> cps;
            std::vector<std::size_t> offsets;
            decode(text, cps, offsets);
            for (std::size_t at = 0; at < cps.size();) {
                std::size_t length = first_match(pattern, std::span(cps).subspan(at));
                segments.add_match(offsets[at], offsets[at + length]);
                at += length;
            }
            break;
        }
        case PreTokenKind::kMetaspace:
            if (step.split) segments.occurrences(step.text);
            segments.pieces(SplitBehavior::kMergedWithNext, false, pieces);
            return;
        case PreTokenKind::kWhitespace: {
            // The runs of \w+|[^\w\s]+ are the pieces.
            const auto* p = reinterpret_cast<const unsigned char*>(text.data());
            for (std::size_t i = 0; i < text.size();) {
                std::size_t length = utf8_sequence_length(p[i]);
                std::uint32_t cp = decode_utf8_sequence(p + i, length);
                if (is_white_space(cp)) {
                    i += length;
                    continue;
                }
                const bool word = is_word_char(cp);
                std::size_t end = i + length;
                while (end < text.size()) {
                    std::size_t next = utf8_sequence_length(p[end]);
                    std::uint32_t c = decode_utf8_sequence(p + end, next);
                    if (is_white_space(c) || is_word_char(c) != word) break;
                    end += next;
                }
                segments.add_match(i, end);
                i = end;
            }
            segments.pieces(SplitBehavior::kRemoved, true, pieces);
            return;
        }
        case PreTokenKind::kWhitespaceSplit:
            segments.each_char([](std::uint32_t cp) { return is_white_space(cp); });
            segments.pieces(SplitBehavior::kRemoved, false, pieces);
            return;
        case PreTokenKind::kBert: {
            std::vector<TextSpan> words;
            segments.each_char([](std::uint32_t cp) { return is_white_space(cp); });
            segments.pieces(SplitBehavior::kRemoved, false, words);
            for (const TextSpan& word : words) {
                Segments inner(text.substr(word.begin, word.end - word.begin));
                inner.each_char(is_punct);
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
            segments.each_char(is_punct);
            segments.pieces(step.behavior, false, pieces);
            return;
        case PreTokenKind::kDigits:
            segments.each_char([](std::uint32_t cp) { return is_number(cp); });
            segments.pieces(step.individual ? SplitBehavior::kIsolated : SplitBehavior::kContiguous, false, pieces);
            return;
        case PreTokenKind::kDelimiter:
            segments.occurrences(step.text);
            segments.pieces(SplitBehavior::kRemoved, false, pieces);
            return;
        case PreTokenKind::kSplitString:
            segments.occurrences(step.text);
            segments.pieces(step.behavior, step.invert, pieces);
            return;
        case PreTokenKind::kHanIsolated:
            segments.each_char(is_han_character);
            break;
    }
    segments.pieces(SplitBehavior::kIsolated, false, pieces);
}

PreTokenizer::PreTokenizer(const DocumentSections& sections) : steps_(read_pre_token_steps(sections)) {}

void PreTokenizer::run_step(const PreTokenStep& step, Piece& piece) {
    std::string& text = piece.text;
    if (step.kind == PreTokenKind::kByteLevel && step.add_prefix_space && !text.starts_with(' ')) text.insert(0, 1, ' ');
    if (step.kind == PreTokenKind::kMetaspace) {
        if (text.find(' ') != std::string::npos) {
            scratch_.clear();
            for (char c : text) {
                if (c == ' ') scratch_.append(step.text);
                else scratch_.push_back(c);
            }
            text.swap(scratch_);
        }
        bool prepend = step.prepend == PreTokenStep::Prepend::kAlways ||
                       (step.prepend == PreTokenStep::Prepend::kFirst && piece.at_start);
        if (prepend && !text.starts_with(step.text)) text.insert(0, step.text);
    }
    spans_.clear();
    split_by_step(step, text, spans_);
    for (const TextSpan& span : spans_) {
        Piece& out = next_.emplace_back();
        out.at_start = piece.at_start && span.begin == 0;
        std::string_view part = std::string_view(text).substr(span.begin, span.end - span.begin);
        if (step.kind == PreTokenKind::kByteLevel) {
            out.text.clear();
            append_byte_level(out.text, part);
        } else {
            out.text.assign(part);
        }
    }
}

void PreTokenizer::split(std::string_view normalized, bool at_start, std::vector<std::string>& words) {
    if (normalized.empty()) return;
    pieces_.clear();
    pieces_.push_back({std::string(normalized), at_start});
    for (const PreTokenStep& step : steps_.steps) {
        next_.clear();
        for (Piece& piece : pieces_) run_step(step, piece);
        pieces_.swap(next_);
    }
    for (Piece& piece : pieces_) words.push_back(std::move(piece.text));
}

}  // namespace vocarix
