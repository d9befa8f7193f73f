#include "analysis/pre_token_check.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "document/json_reader.hpp"
#include "document/text.hpp"
#include "document/unicode_classes.hpp"
#include "analysis/token_style.hpp"

namespace vocarix {
namespace {

using Kind = PreTokenCheck::Step::Kind;

const std::string* string_member(const JsonValue& value, std::string_view key) {
    const JsonValue* member = value.find(key);
    return member ? std::get_if<std::string>(&member->data) : nullptr;
}

bool bool_member(const JsonValue& value, std::string_view key, bool fallback) {
    const JsonValue* member = value.find(key);
    const bool* flag = member ? std::get_if<bool>(&member->data) : nullptr;
    return flag ? *flag : fallback;
}

std::vector<std::uint32_t> code_points(std::string_view text) {
    std::vector<std::uint32_t> out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8_sequence_length(p[i]);
        out.push_back(decode_utf8_sequence(p + i, length));
        i += length;
    }
    return out;
}

bool is_ascii_punctuation(std::uint32_t cp) {
    return (cp >= 33 && cp <= 47) || (cp >= 58 && cp <= 64) || (cp >= 91 && cp <= 96) || (cp >= 123 && cp <= 126);
}
bool is_punct(std::uint32_t cp) { return is_ascii_punctuation(cp) || is_punctuation(cp); }
// The characters the Bert normalizer puts spaces around.
bool is_han(std::uint32_t cp) {
    return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x20000 && cp <= 0x2A6DF) ||
           (cp >= 0x2A700 && cp <= 0x2CEAF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FA1F);
}

bool is_word_char(std::uint32_t cp) { return is_letter(cp) || is_mark(cp) || is_number(cp) || cp == '_'; }

template <class Pred>
bool any_of(const std::vector<std::uint32_t>& cps, Pred pred) {
    return std::any_of(cps.begin(), cps.end(), pred);
}
template <class Pred>
bool all_of(const std::vector<std::uint32_t>& cps, Pred pred) {
    return std::all_of(cps.begin(), cps.end(), pred);
}

// Length, in code points, of the first match of the byte-level regex
// 's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
std::size_t first_byte_level_match(const std::vector<std::uint32_t>& cps) {
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
enum SplitPattern : std::uint8_t { kClassicPattern, kThreeDigitsPattern, kOneDigitPattern };

constexpr std::string_view kClassicRegex = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
constexpr std::string_view kThreeDigitsRegex =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view kOneDigitRegex =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

bool is_line_break(std::uint32_t cp) { return cp == '\r' || cp == '\n'; }

// Length, in code points, of the first match of the three-digit (or one-digit) expression:
// (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+
std::size_t first_digit_group_match(const std::vector<std::uint32_t>& cps, std::size_t max_digits) {
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

std::optional<PreTokenCheck::Step> split_step(const JsonValue& value) {
    const JsonValue* pattern = value.find("pattern");
    const std::string* behavior = string_member(value, "behavior");
    if (!pattern || !behavior || bool_member(value, "invert", false)) return std::nullopt;
    if (const std::string* text = string_member(*pattern, "String"))
        return PreTokenCheck::Step{Kind::kSplitString, *text, *behavior, false, 0};
    const std::string* regex = string_member(*pattern, "Regex");
    // The known expressions match every character, so with Isolated a word is
    // whole exactly when the first match spans it.
    if (!regex || *behavior != "Isolated") return std::nullopt;
    for (auto [known, id] : {std::pair{kClassicRegex, kClassicPattern}, std::pair{kThreeDigitsRegex, kThreeDigitsPattern},
                             std::pair{kOneDigitRegex, kOneDigitPattern}})
        if (*regex == known) return PreTokenCheck::Step{Kind::kSplitRegex, "", *behavior, false, id};
    return std::nullopt;
}

// A pattern occurs in `text` only at the allowed place.
bool split_string_keeps_whole(std::string_view text, const std::string& pattern, const std::string& behavior) {
    if (pattern.empty()) return true;
    std::vector<std::size_t> at;
    for (std::size_t i = text.find(pattern); i != std::string_view::npos; i = text.find(pattern, i + pattern.size()))
        at.push_back(i);
    if (at.empty()) return true;
    if (behavior == "Isolated") return text == pattern;
    if (behavior == "MergedWithPrevious") return at.size() == 1 && at[0] + pattern.size() == text.size();
    if (behavior == "MergedWithNext") return at.size() == 1 && at[0] == 0;
    if (behavior == "Contiguous") return at.size() * pattern.size() == text.size();
    return false;  // Removed
}

bool keeps_whole(const PreTokenCheck::Step& step, std::string_view word, std::string_view text,
                 const std::vector<std::uint32_t>& cps) {
    switch (step.kind) {
        case Kind::kByteLevelRegex: return first_byte_level_match(cps) == cps.size();
        case Kind::kMetaspaceSplit: {
            std::size_t at = word.find(step.text, 1);
            return at == std::string_view::npos;
        }
        case Kind::kWhitespace:
            return all_of(cps, is_word_char) || all_of(cps, [](std::uint32_t cp) {
                       return !is_word_char(cp) && !is_white_space(cp);
                   });
        case Kind::kWhitespaceSplit: return !any_of(cps, is_white_space);
        case Kind::kBert:
            return !any_of(cps, is_white_space) && (cps.size() == 1 || !any_of(cps, is_punct));
        case Kind::kPunctuation: {
            if (!any_of(cps, is_punct)) return true;
            if (step.behavior == "Contiguous") return all_of(cps, is_punct);
            if (step.behavior == "MergedWithPrevious")
                return std::none_of(cps.begin(), cps.end() - 1, is_punct);
            if (step.behavior == "MergedWithNext") return std::none_of(cps.begin() + 1, cps.end(), is_punct);
            return step.behavior != "Removed" && cps.size() == 1;
        }
        case Kind::kDigits: {
            auto digit = [](std::uint32_t cp) { return is_number(cp); };
            if (!any_of(cps, digit)) return true;
            return step.individual ? cps.size() == 1 : all_of(cps, digit);
        }
        case Kind::kDelimiter: return text.find(step.text) == std::string_view::npos;
        case Kind::kSplitString: return split_string_keeps_whole(text, step.text, step.behavior);
        case Kind::kHanIsolated: return cps.size() == 1 || !any_of(cps, is_han);
        case Kind::kSplitRegex:
            if (step.pattern == kClassicPattern) return first_byte_level_match(cps) == cps.size();
            return first_digit_group_match(cps, step.pattern == kThreeDigitsPattern ? 3 : 1) == cps.size();
    }
    return true;
}

// Every object in a settings tree whose list member `children` nests more of
// them, in document order.
template <class Visit>
void walk_settings(const JsonValue& root, std::string_view children, Visit&& visit) {
    std::vector<const JsonValue*> pending{&root};
    while (!pending.empty()) {
        const JsonValue& value = *pending.back();
        pending.pop_back();
        visit(value);
        const JsonValue* list = value.find(children);
        if (const auto* items = list ? std::get_if<JsonArray>(&list->data) : nullptr)
            for (auto it = items->rbegin(); it != items->rend(); ++it) pending.push_back(&*it);
    }
}

}  // namespace

PreTokenCheck::PreTokenCheck(const EditorState& state) {
    read_normalizer(state.sections.normalizer.text);
    read_pre_tokenizer(state.sections.pre_tokenizer.text);
}

void PreTokenCheck::read_normalizer(const std::string& section) {
    if (section == "null" || section.empty()) return;
    walk_settings(parse_json_value(section), "normalizers", [&](const JsonValue& value) {
        const std::string* type = string_member(value, "type");
        if (!type) return;
        if (*type == "Lowercase") {
            pipeline_.lowercases = true;
        } else if (*type == "BertNormalizer") {
            // A normalizer that isolates Chinese characters splits words as surely.
            if (bool_member(value, "handle_chinese_chars", true)) steps_.push_back({Kind::kHanIsolated, "", "", false});
            if (bool_member(value, "lowercase", true)) pipeline_.lowercases = true;
        } else if (*type == "Prepend") {
            const std::string* prepend = string_member(value, "prepend");
            if (prepend && !prepend->empty()) pipeline_.marks_text_start = true;
        }
    });
}

void PreTokenCheck::read_pre_tokenizer(const std::string& section) {
    if (section == "null" || section.empty()) return;
    auto undecided = [&](const std::string& why) {
        if (undecided_by_.empty()) undecided_by_ = why;
    };
    walk_settings(parse_json_value(section), "pretokenizers", [&](const JsonValue& value) {
        const std::string* type = string_member(value, "type");
        if (!type) {
            undecided("a pre-tokenizer without a type");
        } else if (*type == "Sequence") {
            const JsonValue* list = value.find("pretokenizers");
            if (!list || !std::holds_alternative<JsonArray>(list->data)) undecided("a Sequence without pretokenizers");
        } else if (*type == "ByteLevel") {
            pipeline_.byte_level = true;
            if (bool_member(value, "add_prefix_space", true)) pipeline_.marks_text_start = true;
            if (bool_member(value, "use_regex", true)) steps_.push_back({Kind::kByteLevelRegex, "", "", false});
        } else if (*type == "Metaspace") {
            const std::string* replacement = string_member(value, "replacement");
            const std::string* scheme = string_member(value, "prepend_scheme");
            if (scheme ? *scheme != "never" : bool_member(value, "add_prefix_space", true))
                pipeline_.marks_text_start = true;
            if (bool_member(value, "split", true))
                steps_.push_back({Kind::kMetaspaceSplit, replacement ? *replacement : "\u2581", "", false});
        } else if (*type == "Whitespace") {
            steps_.push_back({Kind::kWhitespace, "", "", false});
        } else if (*type == "WhitespaceSplit") {
            steps_.push_back({Kind::kWhitespaceSplit, "", "", false});
        } else if (*type == "BertPreTokenizer") {
            steps_.push_back({Kind::kBert, "", "", false});
        } else if (*type == "Punctuation") {
            const std::string* behavior = string_member(value, "behavior");
            steps_.push_back({Kind::kPunctuation, "", behavior ? *behavior : "Isolated", false});
        } else if (*type == "Digits") {
            steps_.push_back({Kind::kDigits, "", "", bool_member(value, "individual_digits", false)});
        } else if (*type == "CharDelimiterSplit") {
            const std::string* delimiter = string_member(value, "delimiter");
            if (delimiter) steps_.push_back({Kind::kDelimiter, *delimiter, "", false});
            else undecided("a CharDelimiterSplit without a delimiter");
        } else if (*type == "Split") {
            if (std::optional<PreTokenCheck::Step> step = split_step(value)) steps_.push_back(std::move(*step));
            else undecided("a Split on a regular expression vocarix cannot evaluate");
        } else {
            undecided("the pre-tokenizer " + *type);
        }
    });
}

PreTokenVerdict PreTokenCheck::check(std::string_view word) const {
    if (word.empty()) return PreTokenVerdict::kWhole;
    std::string decoded;
    std::string_view text = word;
    if (pipeline_.byte_level) {
        StyleReport style;
        style.style = TokenStyle::kByteLevel;
        style.byte_level = true;
        decoded = TokenReader(style, {}).decode(word);
        text = decoded;
    }
    if (!is_valid_utf8(text)) return PreTokenVerdict::kUndecided;
    std::vector<std::uint32_t> cps = code_points(text);
    for (const Step& step : steps_)
        if (!keeps_whole(step, word, text, cps)) return PreTokenVerdict::kSplit;
    return undecided_by_.empty() ? PreTokenVerdict::kWhole : PreTokenVerdict::kUndecided;
}

}  // namespace vocarix
