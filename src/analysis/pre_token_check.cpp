#include "analysis/pre_token_check.hpp"

#include "analysis/token_style.hpp"
#include "document/json_reader.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

// True when a Bert normalizer in the file puts spaces around Chinese characters.
bool isolates_han(const std::string& normalizer) {
    if (normalizer.find("\"BertNormalizer\"") == std::string::npos) return false;
    JsonValue root = parse_json_value(normalizer);
    std::vector<const JsonValue*> pending{&root};
    while (!pending.empty()) {
        const JsonValue& value = *pending.back();
        pending.pop_back();
        const std::string* type = value.find_string("type");
        if (type && *type == "BertNormalizer" && value.find_bool("handle_chinese_chars", true)) return true;
        const JsonValue* list = value.find("normalizers");
        if (const auto* items = list ? std::get_if<JsonArray>(&list->data) : nullptr)
            for (const JsonValue& item : *items) pending.push_back(&item);
    }
    return false;
}

}  // namespace

PreTokenCheck::PreTokenCheck(const EditorState& state) : steps_(read_pre_token_steps(state.sections)) {
    if (isolates_han(state.sections.normalizer.text)) {
        PreTokenStep han;
        han.kind = PreTokenStep::Kind::kHanIsolated;
        steps_.steps.insert(steps_.steps.begin(), han);
    }
}

PreTokenVerdict PreTokenCheck::check(std::string_view word) const {
    if (word.empty()) return PreTokenVerdict::kWhole;
    std::string decoded;
    std::string_view text = word;
    if (steps_.byte_level) {
        StyleReport style;
        style.style = TokenStyle::kByteLevel;
        style.byte_level = true;
        decoded = TokenReader(style, {}).decode(word);
        text = decoded;
    }
    if (!is_valid_utf8(text)) return PreTokenVerdict::kUndecided;
    std::vector<TextSpan> pieces;
    for (const PreTokenStep& step : steps_.steps) {
        // Metaspace reads its marker, which only the stored form holds.
        std::string_view seen = step.kind == PreTokenStep::Kind::kMetaspace ? word : text;
        pieces.clear();
        split_by_step(step, seen, pieces);
        if (pieces.size() != 1 || pieces[0].begin != 0 || pieces[0].end != seen.size()) return PreTokenVerdict::kSplit;
    }
    return steps_.unsupported_by.empty() ? PreTokenVerdict::kWhole : PreTokenVerdict::kUndecided;
}

}  // namespace vocarix
