#include "analysis/added_tokens_view.hpp"

#include <variant>

#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "analysis/runtime_ids.hpp"

namespace vocarix {

std::vector<AddedTokenEntry> read_added_tokens(const DocumentSections& sections) {
    std::vector<AddedTokenEntry> entries;
    JsonValue list = parse_json_value(sections.added_tokens.text);
    const auto* items = std::get_if<JsonArray>(&list.data);
    if (!items) return entries;
    entries.reserve(items->size());
    for (std::size_t position = 0; position < items->size(); ++position) {
        const JsonValue& item = (*items)[position];
        const JsonValue* content = item.find("content");
        const auto* text = content ? std::get_if<std::string>(&content->data) : nullptr;
        if (!text) continue;
        AddedTokenEntry entry;
        entry.position = position;
        entry.content = *text;
        if (const JsonValue* id = item.find("id")) {
            if (const auto* value = std::get_if<std::uint64_t>(&id->data)) entry.stored_id = *value;
        }
        entry.special = item.find_bool("special", false);
        entry.single_word = item.find_bool("single_word", false);
        entry.lstrip = item.find_bool("lstrip", false);
        entry.rstrip = item.find_bool("rstrip", false);
        entry.normalized = item.find_bool("normalized", !entry.special);
        entry.json = compact_json(item).text;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<OutsideAddedToken> added_tokens_outside_vocab(const EditorState& state) {
    std::vector<OutsideAddedToken> outside;
    for (RuntimeAddedToken& token : runtime_added_tokens(state))
        if (!token.in_vocab)
            outside.push_back({std::move(token.content), token.stored_id, token.runtime_id, token.special});
    return outside;
}

}  // namespace vocarix
