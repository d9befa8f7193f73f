#include "model_folder/token_fields.hpp"

#include <array>
#include <charconv>
#include <string_view>

namespace vocarix::folder {
namespace {

using NodeKind = ConfigNode::Kind;

constexpr std::array<std::string_view, 7> kRoleFields = {"bos_token", "eos_token", "unk_token", "sep_token",
                                                         "pad_token", "cls_token", "mask_token"};
constexpr std::array<std::string_view, 2> kListFields = {"additional_special_tokens", "extra_special_tokens"};

void add_named(std::vector<NamedToken>& named, const ConfigText& config, std::string field, std::string role,
               const ConfigNode& value) {
    if (std::optional<std::string> content = token_content(value))
        named.push_back({&config, std::move(field), std::move(role), std::move(*content)});
}

void named_in(const ConfigText& config, std::vector<NamedToken>& named) {
    const ConfigNode& root = config.root();
    for (std::string_view field : kRoleFields)
        if (const ConfigNode* value = root.find(field))
            add_named(named, config, std::string(field), std::string(field.substr(0, field.size() - 6)), *value);
    for (std::string_view field : kListFields) {
        const ConfigNode* value = root.find(field);
        if (!value) continue;
        if (value->kind == NodeKind::kArray) {
            for (std::size_t i = 0; i < value->elements.size(); ++i)
                add_named(named, config, std::string(field) + "[" + std::to_string(i) + "]", "", value->elements[i]);
        } else if (value->is_object()) {
            // Named extra tokens: {"image_token": "<image>"} is the token image_token_id means.
            for (const ConfigNode::Member& member : value->members) {
                std::string_view key = member.key;
                std::string role = key.ends_with("_token") ? std::string(key.substr(0, key.size() - 6)) : "";
                add_named(named, config, std::string(field) + "." + member.key, role, member.value);
            }
        }
    }
}

// The role of an id field ("eos" for eos_token_id), or nullopt when the key names no token id.
std::optional<std::string> id_role(std::string_view key) {
    for (std::string_view suffix : {"_token_ids", "_token_id", "_token_index"})
        if (key.size() > suffix.size() && key.ends_with(suffix))
            return std::string(key.substr(0, key.size() - suffix.size()));
    if (key == "suppress_tokens" || key == "begin_suppress_tokens") return "";
    return std::nullopt;
}

bool holds_ids(const ConfigNode& value) {
    if (value.is_integer()) return true;
    if (value.kind != NodeKind::kArray || value.elements.empty()) return false;
    for (const ConfigNode& element : value.elements)
        if (!element.is_integer()) return false;
    return true;
}

void ids_in(const ConfigText& config, const ConfigNode& object, const std::string& prefix, std::vector<IdField>& ids) {
    for (const ConfigNode::Member& member : object.members) {
        if (&member.value != object.find(member.key)) continue;  // a repeated key: the last one counts
        std::string field = prefix + member.key;
        if (member.value.is_object()) {
            ids_in(config, member.value, field + ".", ids);
        } else if (std::optional<std::string> role = id_role(member.key); role && holds_ids(member.value)) {
            ids.push_back({&config, field, *role, &member.value});
        }
    }
}

void vocab_sizes_in(const ConfigNode& object, const std::string& prefix,
                    std::vector<std::pair<std::string, const ConfigNode*>>& sizes) {
    for (const ConfigNode::Member& member : object.members) {
        if (member.value.is_object()) vocab_sizes_in(member.value, prefix + member.key + ".", sizes);
        else if (member.key == "vocab_size" && member.value.is_integer())
            sizes.emplace_back(prefix + member.key, &member.value);
    }
}

const ConfigNode* config_field(const ModelFolder& folder, std::string_view key) {
    if (!folder.model_config) return nullptr;
    const ConfigNode& root = folder.model_config->root();
    if (const ConfigNode* value = root.find(key)) return value;
    if (const ConfigNode* text = root.find("text_config"); text && text->is_object()) return text->find(key);
    return nullptr;
}

}  // namespace

std::vector<NamedToken> named_tokens(const ModelFolder& folder) {
    std::vector<NamedToken> named;
    if (folder.tokenizer_config) named_in(*folder.tokenizer_config, named);
    if (folder.special_tokens_map) named_in(*folder.special_tokens_map, named);
    return named;
}

std::map<std::string, std::string> tokens_by_role(const std::vector<NamedToken>& named) {
    std::map<std::string, std::string> roles;
    for (const NamedToken& token : named)
        if (!token.role.empty()) roles.try_emplace(token.role, token.content);
    return roles;
}

std::vector<IdField> id_fields(const ModelFolder& folder) {
    std::vector<IdField> ids;
    for (const std::optional<ConfigText>* config : {&folder.model_config, &folder.generation_config})
        if (*config) ids_in(**config, (*config)->root(), "", ids);
    return ids;
}

const ConfigNode* added_tokens_decoder(const ModelFolder& folder) {
    if (!folder.tokenizer_config) return nullptr;
    const ConfigNode* decoder = folder.tokenizer_config->root().find("added_tokens_decoder");
    return decoder && decoder->is_object() ? decoder : nullptr;
}

std::vector<DecoderEntry> decoder_entries(const ConfigNode& decoder) {
    std::vector<DecoderEntry> entries;
    for (const ConfigNode::Member& member : decoder.members) {
        DecoderEntry entry{&member, std::nullopt, std::nullopt};
        std::uint64_t id = 0;
        const char* first = member.key.data();
        const char* last = first + member.key.size();
        auto [end, error] = std::from_chars(first, last, id);
        if (error == std::errc() && end == last && !member.key.empty()) entry.key_id = id;
        if (member.value.is_object())
            if (const ConfigNode* content = member.value.find("content"); content && content->kind == NodeKind::kString)
                entry.content = content->string;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::map<std::uint64_t, std::string> decoder_contents(const ModelFolder& folder) {
    std::map<std::uint64_t, std::string> contents;
    if (const ConfigNode* decoder = added_tokens_decoder(folder))
        for (const DecoderEntry& entry : decoder_entries(*decoder))
            if (entry.key_id && entry.content) contents.try_emplace(*entry.key_id, *entry.content);
    return contents;
}

std::vector<std::pair<std::string, const ConfigNode*>> vocab_size_fields(const ModelFolder& folder) {
    std::vector<std::pair<std::string, const ConfigNode*>> sizes;
    if (folder.model_config) vocab_sizes_in(folder.model_config->root(), "", sizes);
    return sizes;
}

std::optional<std::uint64_t> recorded_padding_multiple(const ModelFolder& folder) {
    const ConfigNode* multiple = config_field(folder, kPaddingMultipleField);
    if (!multiple || !multiple->is_integer() || multiple->integer < 1) return std::nullopt;
    return static_cast<std::uint64_t>(multiple->integer);
}

std::pair<const ConfigNode*, const ConfigNode::Member*> vocab_size_member(const ModelFolder& folder) {
    if (!folder.model_config) return {nullptr, nullptr};
    const ConfigNode& root = folder.model_config->root();
    for (const ConfigNode* object : {&root, root.find("text_config")}) {
        if (!object || !object->is_object()) continue;
        const ConfigNode* size = object->find("vocab_size");
        for (const ConfigNode::Member& member : object->members)
            if (&member.value == size && size->is_integer()) return {object, &member};
    }
    return {nullptr, nullptr};
}

std::optional<std::uint64_t> configured_vocab_size(const ModelFolder& folder) {
    const ConfigNode* size = config_field(folder, "vocab_size");
    if (!size || !size->is_integer() || size->integer < 0) return std::nullopt;
    return static_cast<std::uint64_t>(size->integer);
}

}  // namespace vocarix::folder
