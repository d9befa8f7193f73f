#include "document/document_ids.hpp"

#include <string.h>  // memmem

#include <algorithm>
#include <memory>
#include <unordered_set>
#include <utility>

#include "document/json_reader.hpp"
#include "document/json_writer.hpp"

namespace vocarix {
namespace {

std::optional<std::uint32_t> id_value(const JsonValue& value) {
    if (const auto* u = std::get_if<std::uint64_t>(&value.data); u && *u <= UINT32_MAX)
        return static_cast<std::uint32_t>(*u);
    if (const auto* i = std::get_if<std::int64_t>(&value.data); i && *i >= 0 && *i <= INT64_C(0xFFFFFFFF))
        return static_cast<std::uint32_t>(*i);
    return std::nullopt;
}

JsonValue* member(JsonValue& value, std::string_view key) {
    return const_cast<JsonValue*>(std::as_const(value).find(key));
}

const std::string* string_of(const JsonValue* value) {
    return value ? std::get_if<std::string>(&value->data) : nullptr;
}

bool is_null(const CompactJson& section) { return section.text == "null"; }

// Calls visit(where, token, id value) for each (token, id) pair the
// post-processor `value` states.
template <class Visit>
void walk_post_processor(JsonValue& value, const std::string& where, Visit& visit) {
    const std::string* type = string_of(member(value, "type"));
    if (!type) return;
    if (*type == "TemplateProcessing") {
        auto* specials = member(value, "special_tokens");
        auto* members = specials ? std::get_if<JsonObject>(&specials->data) : nullptr;
        if (!members) return;
        for (auto& [name, spec] : *members) {
            auto* ids = member(spec, "ids");
            auto* tokens = member(spec, "tokens");
            auto* id_list = ids ? std::get_if<JsonArray>(&ids->data) : nullptr;
            auto* token_list = tokens ? std::get_if<JsonArray>(&tokens->data) : nullptr;
            if (!id_list || !token_list) continue;
            std::size_t pairs = std::min(id_list->size(), token_list->size());
            for (std::size_t i = 0; i < pairs; ++i)
                if (const std::string* token = string_of(&(*token_list)[i]))
                    visit(where + ".special_tokens." + name + ".ids[" + std::to_string(i) + "]", *token,
                          (*id_list)[i]);
        }
    } else if (*type == "RobertaProcessing" || *type == "BertProcessing") {
        for (const char* key : {"cls", "sep"}) {
            auto* pair = member(value, key);
            auto* items = pair ? std::get_if<JsonArray>(&pair->data) : nullptr;
            if (!items || items->size() != 2) continue;
            if (const std::string* token = string_of(&(*items)[0])) visit(where + "." + key, *token, (*items)[1]);
        }
    } else if (*type == "Sequence") {
        auto* processors = member(value, "processors");
        auto* list = processors ? std::get_if<JsonArray>(&processors->data) : nullptr;
        if (!list) return;
        for (std::size_t i = 0; i < list->size(); ++i)
            walk_post_processor((*list)[i], where + ".processors[" + std::to_string(i) + "]", visit);
    }
}

template <class Visit>
void walk_padding(JsonValue& value, Visit& visit) {
    const std::string* token = string_of(member(value, "pad_token"));
    JsonValue* id = member(value, "pad_id");
    if (token && id) visit(std::string("padding.pad_id"), *token, *id);
}

std::string entry_problem(const JsonValue& item) {
    if (!item.as_object()) return "is no object";
    if (!string_of(item.find("content"))) return "has no string \"content\"";
    const JsonValue* id = item.find("id");
    if (!id) return "has no \"id\"";
    if (!id_value(*id)) return "has an \"id\" that is no integer 0..4294967295";
    for (const char* flag : {"single_word", "lstrip", "rstrip", "normalized", "special"}) {
        const JsonValue* value = item.find(flag);
        if (!value || !std::holds_alternative<bool>(value->data)) return std::string("has no boolean \"") + flag + "\"";
    }
    return {};
}

}  // namespace

std::vector<std::pair<std::size_t, std::string>> refused_added_tokens(const DocumentSections& sections) {
    std::vector<std::pair<std::size_t, std::string>> refused;
    if (sections.added_tokens.text == "[]") return refused;
    JsonValue list = parse_json_value(sections.added_tokens.text);
    const auto* items = std::get_if<JsonArray>(&list.data);
    if (!items) return refused;
    for (std::size_t i = 0; i < items->size(); ++i) {
        std::string problem = entry_problem((*items)[i]);
        if (!problem.empty()) refused.emplace_back(i, std::move(problem));
    }
    return refused;
}

std::vector<IdReference> read_id_references(const DocumentSections& sections) {
    std::vector<IdReference> references;
    auto visit = [&](const std::string& where, const std::string& token, JsonValue& id) {
        references.push_back({where, token, id_value(id)});
    };
    if (!is_null(sections.post_processor)) {
        JsonValue value = parse_json_value(sections.post_processor.text);
        walk_post_processor(value, "post_processor", visit);
    }
    if (!is_null(sections.padding)) {
        JsonValue value = parse_json_value(sections.padding.text);
        walk_padding(value, visit);
    }
    return references;
}

std::vector<IdChange> rewrite_added_token_ids(DocumentSections& sections, const IdRewrite& rewrite) {
    std::vector<IdChange> changes;
    if (sections.added_tokens.text == "[]") return changes;
    JsonValue list = parse_json_value(sections.added_tokens.text);
    auto* items = std::get_if<JsonArray>(&list.data);
    if (!items) return changes;
    for (std::size_t i = 0; i < items->size(); ++i) {
        const std::string* content = string_of((*items)[i].find("content"));
        JsonValue* id = member((*items)[i], "id");
        if (!content || !id) continue;
        std::optional<std::uint32_t> stated = id_value(*id);
        std::optional<std::uint32_t> next = rewrite(*content, stated);
        if (!next || next == stated) continue;
        changes.push_back({"added_tokens[" + std::to_string(i) + "]", *content, stated, *next});
        id->data = std::uint64_t{*next};
    }
    if (!changes.empty()) sections.added_tokens = compact_json(list);
    return changes;
}

std::vector<IdChange> rewrite_reference_ids(DocumentSections& sections, const IdRewrite& rewrite) {
    std::vector<IdChange> changes;
    auto visit = [&](const std::string& where, const std::string& token, JsonValue& id) {
        std::optional<std::uint32_t> stated = id_value(id);
        std::optional<std::uint32_t> next = rewrite(token, stated);
        if (!next || next == stated) return;
        changes.push_back({where, token, stated, *next});
        id.data = std::uint64_t{*next};
    };
    if (!is_null(sections.post_processor)) {
        JsonValue value = parse_json_value(sections.post_processor.text);
        std::size_t before = changes.size();
        walk_post_processor(value, "post_processor", visit);
        if (changes.size() != before) sections.post_processor = compact_json(value);
    }
    if (!is_null(sections.padding)) {
        JsonValue value = parse_json_value(sections.padding.text);
        std::size_t before = changes.size();
        walk_padding(value, visit);
        if (changes.size() != before) sections.padding = compact_json(value);
    }
    return changes;
}

AddedTokenContents::AddedTokenContents(std::string section_text) : text_(std::move(section_text)) {
    const std::string& text = text_;
    // Each entry holds its content as `"content":"..."`; one pass finds every
    // such string. Most need no unescaping and are taken as they stand. A
    // nested member of that name only adds a string that matches nothing.
    static constexpr std::string_view kKey = "\"content\":\"";
    const char* const end = text.data() + text.size();
    const char* p = text.data();
    while (p < end) {
        const void* found = memmem(p, static_cast<std::size_t>(end - p), kKey.data(), kKey.size());
        if (!found) break;
        const char* open = static_cast<const char*>(found) + kKey.size() - 1;
        const char* close = open + 1;
        bool escaped = false;
        while (close < end && *close != '"') {
            if (*close == '\\') {
                escaped = true;
                ++close;
            }
            ++close;
        }
        if (close >= end) break;
        if (!escaped) {
            contents_.emplace(open + 1, static_cast<std::size_t>(close - open - 1));
        } else {
            JsonValue value = parse_json_value(std::string_view(open, static_cast<std::size_t>(close + 1 - open)));
            if (auto* decoded = std::get_if<std::string>(&value.data))
                contents_.emplace(decoded_.emplace_back(std::move(*decoded)));
        }
        p = close + 1;
    }
}

const AddedTokenContents& added_token_contents(const DocumentSections& sections) {
    thread_local std::unique_ptr<AddedTokenContents> last;
    const std::string& text = sections.added_tokens.text;
    if (!last || last->text() != text) {
        last.reset();  // at most one copy of a large section at a time
        last = std::make_unique<AddedTokenContents>(text);
    }
    return *last;
}

std::size_t drop_added_tokens(DocumentSections& sections, const std::function<bool(std::string_view)>& drop) {
    if (sections.added_tokens.text == "[]") return 0;
    JsonValue list = parse_json_value(sections.added_tokens.text);
    auto* items = std::get_if<JsonArray>(&list.data);
    if (!items) return 0;
    std::size_t before = items->size();
    std::erase_if(*items, [&](const JsonValue& item) {
        const std::string* content = string_of(item.find("content"));
        return content && drop(*content);
    });
    std::size_t dropped = before - items->size();
    if (dropped) sections.added_tokens = compact_json(list);
    return dropped;
}

}  // namespace vocarix
