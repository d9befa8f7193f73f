#include "analysis/pre_token_check.hpp"

#include "analysis/token_style.hpp"
#include "document/json_reader.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

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

PreTokenCheck::PreTokenCheck(const EditorState& state) : steps_(read_pre_token_steps(state.sections)) {
    pipeline_.byte_level = steps_.byte_level;
    for (const PreTokenStep& step : steps_.steps) {
        if ((step.kind == PreTokenStep::Kind::kByteLevel && step.add_prefix_space) ||
            (step.kind == PreTokenStep::Kind::kMetaspace && step.prepend != PreTokenStep::Prepend::kNever))
            pipeline_.marks_text_start = true;
    }
    read_normalizer(state.sections.normalizer.text);
}

void PreTokenCheck::read_normalizer(const std::string& section) {
    if (section == "null" || section.empty()) return;
    walk_settings(parse_json_value(section), "normalizers", [&](const JsonValue& value) {
        const std::string* type = value.find_string("type");
        if (!type) return;
        if (*type == "Lowercase") {
            pipeline_.lowercases = true;
        } else if (*type == "BertNormalizer") {
            // A normalizer that isolates Chinese characters splits words as surely.
            if (value.find_bool("handle_chinese_chars", true)) {
                PreTokenStep han;
                han.kind = PreTokenStep::Kind::kHanIsolated;
                steps_.steps.insert(steps_.steps.begin(), han);
            }
            if (value.find_bool("lowercase", true)) pipeline_.lowercases = true;
        } else if (*type == "Prepend") {
            const std::string* prepend = value.find_string("prepend");
            if (prepend && !prepend->empty()) pipeline_.marks_text_start = true;
        }
    });
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
