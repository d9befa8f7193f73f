// The fields of a model folder's configs that name tokens: by text (the
// special tokens of tokenizer_config.json and special_tokens_map.json), by id
// (bos_token_id and its kin in config.json and generation_config.json, at
// any depth), the added-token decoder, and the vocabulary size.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model_folder/folder_files.hpp"

namespace vocarix::folder {

// A token a config names by its text.
struct NamedToken {
    const ConfigText* config;
    std::string field;    // "eos_token", "additional_special_tokens[2]", "extra_special_tokens.image_token"
    std::string role;     // "eos", "image"; empty for a member of a plain list
    std::string content;
};

// The special tokens both token configs name, tokenizer_config.json first.
std::vector<NamedToken> named_tokens(const ModelFolder& folder);

// The text of the token each role names ("eos" -> "</s>"): the field
// "<role>_token" of tokenizer_config.json, else of special_tokens_map.json.
std::map<std::string, std::string> tokens_by_role(const std::vector<NamedToken>& named);

// A field that holds a token id or a list of them.
struct IdField {
    const ConfigText* config;
    std::string field;  // "eos_token_id", "text_config.eos_token_id"
    std::string role;   // "eos", "decoder_start"; empty for suppress lists
    const ConfigNode* value;  // an integer or a list
};

// Fields ending in _token_id, _token_ids or _token_index, and the
// suppress_tokens lists, in config.json and generation_config.json.
std::vector<IdField> id_fields(const ModelFolder& folder);

// One member of tokenizer_config.json's added_tokens_decoder.
struct DecoderEntry {
    const ConfigNode::Member* member;
    std::optional<std::uint64_t> key_id;   // none: the key is no decimal id
    std::optional<std::string> content;    // none: no string "content"
};

// Null when the folder has no decoder object.
const ConfigNode* added_tokens_decoder(const ModelFolder& folder);
std::vector<DecoderEntry> decoder_entries(const ConfigNode& decoder);

// What the decoder says each id it keys is: key -> content, for the entries
// with a decimal key and a string content.
std::map<std::uint64_t, std::string> decoder_contents(const ModelFolder& folder);

// Every "vocab_size" that holds an integer, at any depth of config.json,
// with its path ("text_config.vocab_size").
std::vector<std::pair<std::string, const ConfigNode*>> vocab_size_fields(const ModelFolder& folder);

// The size the model's embedding has by its config: the top-level
// vocab_size, else that of text_config; none without either.
std::optional<std::uint64_t> configured_vocab_size(const ModelFolder& folder);

// Where an edit records the multiple the embedding's rows are padded to:
// beside the vocab_size of config.json.
inline constexpr std::string_view kPaddingMultipleField = "pad_vocab_size_to_multiple_of";

// The multiple an earlier edit recorded (a whole number of at least 1), if any.
std::optional<std::uint64_t> recorded_padding_multiple(const ModelFolder& folder);

// The member of config.json that holds the vocab_size the rows follow
// (top level, else in text_config), and the object holding it; nulls without one.
std::pair<const ConfigNode*, const ConfigNode::Member*> vocab_size_member(const ModelFolder& folder);

}  // namespace vocarix::folder
