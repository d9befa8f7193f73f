#include "learning/line_cuts.hpp"

#include <algorithm>
#include <cstring>

#include "analysis/added_tokens_view.hpp"
#include "analysis/pre_tokenizer.hpp"
#include "analysis/text_classes.hpp"
#include "document/text.hpp"
#include "learning/text_normalizer.hpp"

namespace vocarix {
namespace {

using CutKind = PreTokenStep::Kind;
using CutPattern = PreTokenStep::Pattern;
using NormalizerStepKind = TextNormalizer::Step::Kind;

// What a pre-tokenizer step does at a space that follows a character that
// is not white space.
enum class AtSpace {
    kStartsPiece,  // a piece always starts there, and no piece before it looks past it
    kPassesOn,     // no match spans it or looks across it: the steps after decide
    kUnknown,      // it may join the space to what comes before
};

// The expressions whose matches (and hand-written matchers) start at such a
// space: the space is only ever the optional first character of a match, and
// runs of white space start at white space.
bool is_word_pattern(CutPattern pattern) {
    return pattern == CutPattern::kClassic || pattern == CutPattern::kThreeDigits || pattern == CutPattern::kOneDigit ||
           pattern == CutPattern::kDeepSeekWords;
}

AtSpace at_space(const PreTokenStep& step) {
    switch (step.kind) {
        case CutKind::kByteLevel:
            // Without its expression the step rewrites the space and keeps the text whole.
            return step.use_regex && is_word_pattern(step.pattern) ? AtSpace::kStartsPiece : AtSpace::kUnknown;
        case CutKind::kSplitRegex:
            if (step.invert) return AtSpace::kUnknown;
            if (is_word_pattern(step.pattern) && step.behavior == SplitBehavior::kIsolated) return AtSpace::kStartsPiece;
            // Runs of digits or of CJK characters hold no space.
            if (step.pattern == CutPattern::kDeepSeekDigits || step.pattern == CutPattern::kDeepSeekCjk)
                return AtSpace::kPassesOn;
            return AtSpace::kUnknown;
        case CutKind::kSplitString:
            if (step.invert || step.text.empty()) return AtSpace::kUnknown;
            if (step.text == " ")
                return step.behavior == SplitBehavior::kMergedWithPrevious ? AtSpace::kUnknown : AtSpace::kStartsPiece;
            return step.text.find(' ') == std::string::npos ? AtSpace::kPassesOn : AtSpace::kUnknown;
        case CutKind::kMetaspace:
            return step.split && step.text != " " ? AtSpace::kStartsPiece : AtSpace::kUnknown;
        case CutKind::kWhitespace:
        case CutKind::kWhitespaceSplit:
        case CutKind::kBert: return AtSpace::kStartsPiece;
        case CutKind::kDelimiter: return step.text == " " ? AtSpace::kStartsPiece : AtSpace::kPassesOn;
        case CutKind::kPunctuation:
        case CutKind::kDigits:
        case CutKind::kHanIsolated: return AtSpace::kPassesOn;
        case CutKind::kUnicodeScripts:  // a space stays with the piece it falls in
        case CutKind::kFixedLength: return AtSpace::kUnknown;
    }
    return AtSpace::kUnknown;
}

// A Replace that reads the same as a string and as an expression, matches no
// white space, and puts printable ASCII in: the character before a place
// stays printable ASCII, and no match spans the space after it.
bool replaces_within_words(const TextNormalizer::Step& step) {
    constexpr std::string_view kSpecial = "\\.^$|?*+()[]{}";
    if (step.text.empty() || step.content.empty()) return false;
    if (step.text.find_first_of(kSpecial) != std::string::npos) return false;
    const TextClasses& classes = text_classes();
    const auto* p = reinterpret_cast<const unsigned char*>(step.text.data());
    for (std::size_t i = 0; i < step.text.size();) {
        const std::size_t length = utf8_sequence_length(p[i]);
        if (classes.white_space.contains(decode_utf8_sequence(p + i, length))) return false;
        i += length;
    }
    return std::all_of(step.content.begin(), step.content.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

}  // namespace

LineCutRule::LineCutRule(const EditorState& state, TextNormalizer& normalizer) {
    reason_.clear();
    read_pre_tokenizer(state);
    if (cuts()) read_normalizer(normalizer);
    if (cuts()) read_tokens(state, normalizer);
}

void LineCutRule::refuse(std::string why) {
    if (reason_.empty()) reason_ = std::move(why);
}

void LineCutRule::read_pre_tokenizer(const EditorState& state) {
    const PreTokenSteps pre = read_pre_token_steps(state.sections);
    if (!pre.unsupported_by.empty()) return refuse(pre.unsupported_by + " is not applied");
    if (pre.steps.empty()) return refuse("without a pre-tokenizer a whole line is one word");
    for (const PreTokenStep& step : pre.steps) {
        switch (at_space(step)) {
            case AtSpace::kStartsPiece: return;
            case AtSpace::kPassesOn: continue;
            case AtSpace::kUnknown:
                return refuse("the pre-tokenizer may join a space to the text before it");
        }
    }
    refuse("no pre-tokenizer step starts a piece at a space");
}

void LineCutRule::read_normalizer(const TextNormalizer& normalizer) {
    for (const TextNormalizer::Step& step : normalizer.steps()) {
        ascii_before_ = true;
        switch (step.kind) {
            case NormalizerStepKind::kForm:
            case NormalizerStepKind::kStripAccents:
            case NormalizerStepKind::kNmt:
            case NormalizerStepKind::kBert: break;
            case NormalizerStepKind::kStrip:
                if (step.left) return refuse("the normalizer Strip takes away the spaces a text starts with");
                break;
            case NormalizerStepKind::kReplace:
                if (!replaces_within_words(step)) return refuse("the normalizer Replace may change a space or what is next to it");
                break;
            case NormalizerStepKind::kPrepend: return refuse("the normalizer Prepend marks the start of every text");
            case NormalizerStepKind::kPrecompiled:
                return refuse("the normalizer Precompiled maps characters in clusters that may span a space");
            case NormalizerStepKind::kByteLevel: return refuse("the normalizer ByteLevel rewrites the space");
        }
    }
}

void LineCutRule::read_tokens(const EditorState& state, TextNormalizer& normalizer) {
    std::string normalized;
    for (const AddedTokenEntry& entry : read_added_tokens(state.sections)) {
        if (entry.content.empty() || !is_valid_utf8(entry.content)) continue;
        // Tokens matched in normalized text are matched by their normalized form.
        const bool in_normalized_text = entry.normalized && !normalizer.identity();
        std::string_view content = entry.content;
        if (in_normalized_text) {
            normalizer.normalize(entry.content, normalized);
            content = normalized;
        }
        const std::string named = "the added token " + debug_quoted(entry.content);
        for (std::size_t i = 1; i < content.size(); ++i)
            if (content[i] == ' ' && content[i - 1] != ' ') return refuse(named + " holds a space after another character");
        if (entry.single_word && content.starts_with(' '))
            return refuse(named + " starts with a space and looks at the character before it");
        if (entry.rstrip) {
            if (in_normalized_text) return refuse(named + " takes the white space after it along in normalized text");
            if (!content.empty()) rstrip_tokens_.emplace_back(content);
        }
    }
}

void LineCutRule::restrict_to(const LineCutRule& other) {
    if (!other.cuts()) refuse(other.reason_);
    ascii_before_ = ascii_before_ || other.ascii_before_;
    rstrip_tokens_.insert(rstrip_tokens_.end(), other.rstrip_tokens_.begin(), other.rstrip_tokens_.end());
}

bool LineCutRule::safe_at(std::string_view line, std::size_t at) const {
    if (!cuts() || at == 0 || at >= line.size() || line[at] != ' ') return false;
    std::size_t start = at - 1;
    while (start > 0 && at - start < 4 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) --start;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data() + start);
    if (utf8_sequence_length(*p) != at - start) return false;
    const std::uint32_t before = decode_utf8_sequence(p, at - start);
    if (ascii_before_ ? (before <= ' ' || before >= 0x7F) : text_classes().white_space.contains(before)) return false;
    const std::string_view head = line.substr(0, at);
    return std::none_of(rstrip_tokens_.begin(), rstrip_tokens_.end(),
                        [&](const std::string& token) { return head.ends_with(token); });
}

std::size_t LineCutRule::last_cut(std::string_view line, std::size_t from, std::size_t to) const {
    if (!cuts()) return kNone;
    from = std::max<std::size_t>(from, 1);
    to = std::min(to, line.size());
    while (to > from) {
        const void* space = ::memrchr(line.data() + from, ' ', to - from);
        if (!space) return kNone;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(space) - line.data());
        if (safe_at(line, at)) return at;
        to = at;
    }
    return kNone;
}

std::size_t LineCutRule::first_cut(std::string_view line, std::size_t from, std::size_t to) const {
    if (!cuts()) return kNone;
    from = std::max<std::size_t>(from, 1);
    to = std::min(to, line.size());
    while (from < to) {
        const void* space = std::memchr(line.data() + from, ' ', to - from);
        if (!space) return kNone;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(space) - line.data());
        if (safe_at(line, at)) return at;
        from = at + 1;
    }
    return kNone;
}

std::size_t LineCutRule::context_bytes() const {
    std::size_t bytes = 4;
    for (const std::string& token : rstrip_tokens_) bytes = std::max(bytes, token.size());
    return bytes;
}

}  // namespace vocarix
