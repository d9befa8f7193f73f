#include "operations/added_tokens_view.hpp"

#include <string_view>
#include <unordered_set>
#include <variant>

#include "document/json_reader.hpp"
#include "document/json_writer.hpp"

namespace vocarix {

std::vector<AddedTokenEntry> read_added_tokens(const DocumentSections& sections) {
    std::vector<AddedTokenEntry> entries;
    JsonValue list = parse_json_value(sections.added_tokens.text);
    const auto* items = std::get_if<JsonArray>(&list.data);
    if (!items) return entries;
    entries.reserve(items->size());
    for (const JsonValue& item : *items) {
        const JsonValue* content = item.find("content");
        const auto* text = content ? std::get_if<std::string>(&content->data) : nullptr;
        if (!text) continue;
        AddedTokenEntry entry;
        entry.content = *text;
        if (const JsonValue* id = item.find("id")) {
            if (const auto* value = std::get_if<std::uint64_t>(&id->data)) entry.stored_id = *value;
        }
        if (const JsonValue* special = item.find("special")) {
            if (const auto* flag = std::get_if<bool>(&special->data)) entry.special = *flag;
        }
        entry.json = compact_json(item).text;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<OutsideAddedToken> added_tokens_outside_vocab(const EditorState& state) {
    std::vector<OutsideAddedToken> outside;
    std::unordered_set<std::string_view> seen;
    std::vector<AddedTokenEntry> entries = read_added_tokens(state.sections);
    std::uint64_t next_runtime_id = state.vocab_size();
    // `seen` views the contents in `entries`, which stay where they are.
    for (const AddedTokenEntry& entry : entries) {
        if (state.contains(entry.content)) continue;
        if (!seen.insert(entry.content).second) continue;
        outside.push_back({entry.content, entry.stored_id, next_runtime_id++, entry.special});
    }
    return outside;
}

}  // namespace vocarix
