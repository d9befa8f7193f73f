#include "learning/text_normalizer.hpp"

#include <algorithm>

#include "analysis/pre_tokenizer.hpp"
#include "analysis/regular_expression.hpp"
#include "analysis/text_classes.hpp"
#include "analysis/token_style.hpp"
#include "document/json_reader.hpp"
#include "document/text.hpp"
#include "formats/precompiled_charsmap/precompiled_charsmap.hpp"
#include "learning/unicode_form_runs.hpp"

namespace vocarix {
namespace {

using Step = TextNormalizer::Step;
using NormalizerKind = Step::Kind;

// Calls f(code point, its bytes) for every character of valid UTF-8 text.
template <class F>
void for_each_char(std::string_view text, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8_sequence_length(p[i]);
        f(decode_utf8_sequence(p + i, length), text.substr(i, length));
        i += length;
    }
}

// Each match of the pattern replaced by `content`, taken literally. The
// matches are taken as they are found: a long line with many of them (every
// space of a line made "▁") keeps no list of them.
void replace_matches(const RegularExpression& regex, std::string_view text, std::string_view content, std::string& out) {
    out.clear();
    if (text.empty()) return;
    std::size_t last = 0;
    auto replace = [&](TextSpan match) {
        out.append(text.substr(last, match.begin - last)).append(content);
        last = match.end;
    };
    regex.for_each_match(text, replace);
    out.append(text.substr(last));
}

// Bytes of the first and past the last character that is no white space.
void strip(std::string_view text, bool left, bool right, std::string& out) {
    const TextClasses& classes = text_classes();
    std::size_t begin = text.size(), end = 0;
    std::size_t at = 0;
    for_each_char(text, [&](std::uint32_t cp, std::string_view bytes) {
        if (!classes.white_space.contains(cp)) {
            begin = std::min(begin, at);
            end = at + bytes.size();
        }
        at += bytes.size();
    });
    if (begin >= end) {
        out.clear();
        return;
    }
    out.assign(text.substr(left ? begin : 0, (right ? end : text.size()) - (left ? begin : 0)));
}

bool nmt_drops(std::uint32_t cp) {
    return (cp >= 0x01 && cp <= 0x08) || cp == 0x0B || (cp >= 0x0E && cp <= 0x1F) || cp == 0x7F || cp == 0x8F ||
           cp == 0x9F;
}
bool nmt_makes_space(std::uint32_t cp) {
    return cp == 0x09 || cp == 0x0A || cp == 0x0C || cp == 0x0D || cp == 0x1680 || (cp >= 0x200B && cp <= 0x200F) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x2581 || cp == 0xFEFF || cp == 0xFFFD;
}

// The Bert normalizer's cleaning: NUL, U+FFFD and control characters
// dropped, then white space made a space.
void bert_clean(std::string_view text, std::string& out) {
    const TextClasses& classes = text_classes();
    out.clear();
    for_each_char(text, [&](std::uint32_t cp, std::string_view bytes) {
        if (cp == 0 || cp == 0xFFFD || classes.is_bert_control(cp)) return;
        if (cp == '\t' || cp == '\n' || cp == '\r' || classes.white_space.contains(cp)) out.push_back(' ');
        else out.append(bytes);
    });
}

// One normalizer that is not a Sequence.
Step read_step(const JsonValue& value, const std::string& type) {
    Step step;
    if (type == "Replace") {
        const JsonValue* pattern = value.find("pattern");
        const std::string* text = pattern ? pattern->find_string("String") : nullptr;
        const std::string* regex = pattern ? pattern->find_string("Regex") : nullptr;
        const std::string* content = value.find_string("content");
        if ((!text && !regex) || !content) throw UnsupportedSetting("the normalizer Replace has no pattern or no content");
        step.kind = NormalizerKind::kReplace;
        step.text = text ? *text : *regex;
        step.content = *content;
        try {
            step.regex = std::make_shared<const RegularExpression>(text ? literal_pattern(*text) : *regex);
        } catch (const RegexError& error) {
            throw UnsupportedSetting("the normalizer Replace on a regular expression the regular-expression engine "
                                     "refuses (" + std::string(error.what()) + ")");
        }
    } else if (type == "Prepend") {
        const std::string* prepend = value.find_string("prepend");
        if (!prepend) throw UnsupportedSetting("the normalizer Prepend has no text");
        step.kind = NormalizerKind::kPrepend;
        step.text = *prepend;
    } else if (type == "Strip") {
        step.kind = NormalizerKind::kStrip;
        step.left = value.find_bool("strip_left", true);
        step.right = value.find_bool("strip_right", true);
    } else if (type == "StripAccents") {
        step.kind = NormalizerKind::kStripAccents;
    } else if (type == "Nmt") {
        step.kind = NormalizerKind::kNmt;
    } else if (type == "BertNormalizer") {
        step.kind = NormalizerKind::kBert;
        step.clean_text = value.find_bool("clean_text", true);
        step.chinese = value.find_bool("handle_chinese_chars", true);
        step.lowercase = value.find_bool("lowercase", true);
        step.strip_accents = value.find_bool("strip_accents", step.lowercase);  // null: as lowercase
    } else if (type == "Lowercase") {
        step.kind = NormalizerKind::kForm;
        step.text = "lowercase";
    } else if (type == "NFC" || type == "NFD" || type == "NFKC" || type == "NFKD") {
        step.kind = NormalizerKind::kForm;
        step.text = type;
    } else if (type == "Precompiled") {
        const std::string* charsmap = value.find_string("precompiled_charsmap");
        if (!charsmap) throw UnsupportedSetting("the normalizer Precompiled has no precompiled_charsmap");
        step.kind = NormalizerKind::kPrecompiled;
        try {
            step.charsmap = std::make_shared<const PrecompiledCharsmap>(PrecompiledCharsmap::from_base64(*charsmap));
        } catch (const CharsmapError& error) {
            throw UnsupportedSetting("the normalizer Precompiled cannot be read: " + std::string(error.what()));
        }
    } else if (type == "ByteLevel") {
        step.kind = NormalizerKind::kByteLevel;
    } else {
        throw UnsupportedSetting("the normalizer " + type + " cannot be applied");
    }
    return step;
}

void read_steps(const JsonValue& value, std::vector<Step>& steps) {
    const std::string* type = value.find_string("type");
    if (!type) throw UnsupportedSetting("the normalizer has a step without a type");
    if (*type == "Sequence") {
        const JsonValue* list = value.find("normalizers");
        const auto* items = list ? std::get_if<JsonArray>(&list->data) : nullptr;
        if (!items) throw UnsupportedSetting("the normalizer is a Sequence without normalizers");
        for (const JsonValue& item : *items) read_steps(item, steps);
        return;
    }
    steps.push_back(read_step(value, *type));
}

bool needs_forms(const Step& step) {
    return step.kind == NormalizerKind::kForm || (step.kind == NormalizerKind::kBert && (step.strip_accents || step.lowercase));
}

}  // namespace

TextNormalizer::TextNormalizer(const DocumentSections& sections, UnicodeForms* forms) : forms_(forms) {
    if (sections.normalizer.text == "null") return;
    read_steps(parse_json_value(sections.normalizer.text), steps_);
    if (!forms_)
        for (const Step& step : steps_)
            if (needs_forms(step))
                throw UnsupportedSetting("the normalizer needs Unicode data (" + step.text +
                                         ") that was not given");
}

TextNormalizer::~TextNormalizer() = default;
TextNormalizer::TextNormalizer(TextNormalizer&&) noexcept = default;

void TextNormalizer::form(std::string_view name, std::string_view text, std::string& out) {
    apply_unicode_form(*forms_, name, text, out);
}

void TextNormalizer::precompiled(const PrecompiledCharsmap& charsmap, std::string_view text, std::string& out) {
    // Extended grapheme clusters, as the runtime cuts them: a cluster of
    // under six bytes is looked up whole, any other character by character.
    static const RegularExpression graphemes("\\X");
    std::vector<TextSpan> clusters;
    graphemes.find_all(text, clusters);
    out.clear();
    for (const TextSpan& span : clusters) {
        std::string_view cluster = text.substr(span.begin, span.end - span.begin);
        if (cluster.size() < 6) {
            if (auto found = charsmap.replacement(cluster)) {
                out.append(*found);
                continue;
            }
        }
        for_each_char(cluster, [&](std::uint32_t, std::string_view bytes) {
            auto found = charsmap.replacement(bytes);
            out.append(found ? *found : bytes);
        });
    }
}

void TextNormalizer::bert(const Step& step, std::string_view text, std::string& out) {
    std::string current(text);
    if (step.clean_text) {
        bert_clean(current, out);
        current.swap(out);
    }
    if (step.chinese) {
        out.clear();
        for_each_char(current, [&](std::uint32_t cp, std::string_view bytes) {
            if (is_han_character(cp)) out.append(" ").append(bytes).append(" ");
            else out.append(bytes);
        });
        current.swap(out);
    }
    if (step.strip_accents) {
        form("NFD", current, scratch_);
        out.clear();
        const TextClasses& classes = text_classes();
        for_each_char(scratch_, [&](std::uint32_t cp, std::string_view bytes) {
            if (!classes.is_bert_accent(cp)) out.append(bytes);
        });
        current.swap(out);
    }
    if (step.lowercase) {
        form("lowercase", current, out);
        current.swap(out);
    }
    out.swap(current);
}

void TextNormalizer::apply(const Step& step, std::string_view text, std::string& out) {
    out.clear();
    switch (step.kind) {
        case NormalizerKind::kReplace: replace_matches(*step.regex, text, step.content, out); return;
        case NormalizerKind::kPrepend:
            if (!text.empty()) out.assign(step.text);
            out.append(text);
            return;
        case NormalizerKind::kStrip: strip(text, step.left, step.right, out); return;
        case NormalizerKind::kStripAccents: {
            const TextClasses& classes = text_classes();
            for_each_char(text, [&](std::uint32_t cp, std::string_view bytes) {
                if (!classes.is_accent(cp)) out.append(bytes);
            });
            return;
        }
        case NormalizerKind::kNmt:
            for_each_char(text, [&](std::uint32_t cp, std::string_view bytes) {
                if (nmt_makes_space(cp)) out.push_back(' ');
                else if (!nmt_drops(cp)) out.append(bytes);
            });
            return;
        case NormalizerKind::kForm: form(step.text, text, out); return;
        case NormalizerKind::kPrecompiled: precompiled(*step.charsmap, text, out); return;
        case NormalizerKind::kByteLevel: append_byte_level(out, text); return;
        case NormalizerKind::kBert: bert(step, text, out); return;
    }
}

std::string_view TextNormalizer::normalized(std::string_view text) {
    std::string_view current = text;
    for (const Step& step : steps_) {
        if (step.kind == NormalizerKind::kForm && unicode_form_keeps_text(step.text, current)) continue;
        apply(step, current, buffer_);
        result_.swap(buffer_);
        current = result_;
    }
    return current;
}

void TextNormalizer::normalize(std::string_view text, std::string& out) { out.assign(normalized(text)); }

}  // namespace vocarix
