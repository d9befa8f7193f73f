// The file's pre-tokenizer section read into the steps that run.
#include <map>
#include <mutex>

#include "analysis/known_patterns.hpp"
#include "analysis/pre_tokenizer.hpp"
#include "document/json_reader.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

using PreTokenKind = PreTokenStep::Kind;

// Patterns compile once per process: a corpus is counted by many counters.
std::shared_ptr<const RegularExpression> compiled(const std::string& pattern) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const RegularExpression>, std::less<>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache.find(pattern);
    if (it == cache.end()) it = cache.emplace(pattern, std::make_shared<const RegularExpression>(pattern)).first;
    return it->second;
}

bool is_one_character(const std::string& text) {
    return !text.empty() && utf8_sequence_length(static_cast<unsigned char>(text[0])) == text.size() &&
           is_valid_utf8(text);
}

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

// A short, printable form of a pattern for messages.
std::string quoted_pattern(const std::string& pattern) {
    constexpr std::size_t kShown = 60;
    std::string shown = pattern.size() <= kShown ? pattern : pattern.substr(0, kShown);
    while (!shown.empty() && !is_valid_utf8(shown)) shown.pop_back();
    return debug_quoted(shown) + (shown.size() < pattern.size() ? "..." : "");
}

// A Split: on a string (matched literally, as the runtime escapes it) or on
// a regular expression. Returns why it cannot be applied, or an empty string.
std::string read_split(const JsonValue& value, PreTokenStep& step) {
    const JsonValue* pattern = value.find("pattern");
    bool known = false;
    step.behavior = behavior_named(value.find_string("behavior"), known);
    step.invert = value.find_bool("invert", false);
    if (!known) return "a Split with an unknown behavior";
    const std::string* text = pattern ? pattern->find_string("String") : nullptr;
    const std::string* regex = pattern ? pattern->find_string("Regex") : nullptr;
    if (!text && !regex) return "a Split without a pattern";
    step.kind = text ? PreTokenKind::kSplitString : PreTokenKind::kSplitRegex;
    step.text = text ? *text : *regex;
    const std::string expression = text ? literal_pattern(*text) : *regex;
    try {
        step.regex = compiled(expression);
    } catch (const RegexError& error) {
        return "a Split on the regular expression " + quoted_pattern(step.text) +
               ", which the regular-expression engine refuses (" + error.what() + ")";
    }
    if (regex) step.pattern = known_pattern(*regex);
    return {};
}

// One pre-tokenizer that is not a Sequence. Returns why it cannot be
// applied, or an empty string.
std::string read_step(const JsonValue& value, const std::string& type, PreTokenStep& step, bool& byte_level) {
    if (type == "ByteLevel") {
        byte_level = true;
        step.kind = PreTokenKind::kByteLevel;
        step.add_prefix_space = value.find_bool("add_prefix_space", true);
        step.use_regex = value.find_bool("use_regex", true);
        if (step.use_regex) {
            step.regex = compiled(std::string(kByteLevelPattern));
            step.pattern = PreTokenStep::Pattern::kClassic;
        }
    } else if (type == "Metaspace") {
        step.kind = PreTokenKind::kMetaspace;
        const std::string* replacement = value.find_string("replacement");
        step.text = replacement ? *replacement : "\u2581";
        step.split = value.find_bool("split", true);
        step.prepend = metaspace_prepend(value);
        if (!is_one_character(step.text)) return "a Metaspace whose replacement is not one character";
    } else if (type == "Whitespace") {
        step.kind = PreTokenKind::kWhitespace;
    } else if (type == "WhitespaceSplit") {
        step.kind = PreTokenKind::kWhitespaceSplit;
    } else if (type == "BertPreTokenizer") {
        step.kind = PreTokenKind::kBert;
    } else if (type == "Punctuation") {
        step.kind = PreTokenKind::kPunctuation;
        bool known = false;
        step.behavior = behavior_named(value.find_string("behavior"), known);
        if (!known) return "a Punctuation with an unknown behavior";
    } else if (type == "Digits") {
        step.kind = PreTokenKind::kDigits;
        step.individual = value.find_bool("individual_digits", false);
    } else if (type == "CharDelimiterSplit") {
        const std::string* delimiter = value.find_string("delimiter");
        if (!delimiter || !is_one_character(*delimiter)) return "a CharDelimiterSplit whose delimiter is not one character";
        step.kind = PreTokenKind::kDelimiter;
        step.text = *delimiter;
    } else if (type == "UnicodeScripts") {
        step.kind = PreTokenKind::kUnicodeScripts;
    } else if (type == "FixedLength") {
        step.kind = PreTokenKind::kFixedLength;
        if (const JsonValue* length = value.find("length")) {
            const auto* signed_length = std::get_if<std::int64_t>(&length->data);
            const auto* unsigned_length = std::get_if<std::uint64_t>(&length->data);
            if (signed_length && *signed_length >= 1) step.length = static_cast<std::size_t>(*signed_length);
            else if (unsigned_length && *unsigned_length >= 1) step.length = static_cast<std::size_t>(*unsigned_length);
            else return "a FixedLength whose length is not a whole number of at least 1 (the runtime refuses it)";
        }
    } else if (type == "Split") {
        return read_split(value, step);
    } else {
        return "the pre-tokenizer " + type;
    }
    return {};
}

}  // namespace

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
        PreTokenStep step;
        std::string why = read_step(value, *type, step, out.byte_level);
        if (!why.empty()) {
            unsupported(why);
            continue;
        }
        out.steps.push_back(std::move(step));
    }
    return out;
}

}  // namespace vocarix
