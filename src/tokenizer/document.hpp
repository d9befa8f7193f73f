// The parts of a tokenizer.json document that the editor carries besides the
// vocabulary and the merge list (those live in EditorState, interned).
#pragma once

#include <optional>
#include <string>

#include "json_value.hpp"

namespace vocarix {

struct ModelSettings {
    std::string type;
    std::optional<double> dropout;
    std::string unk_token;
    std::optional<std::string> continuing_subword_prefix;
    std::optional<std::string> end_of_word_suffix;
    bool fuse_unk = false;
    bool byte_fallback = false;
    bool ignore_merges = false;
};

// Optional sections hold a null JsonValue when absent or null: both are written as null.
struct DocumentSections {
    std::string version;
    JsonValue truncation;
    JsonValue padding;
    JsonArray added_tokens;
    JsonValue normalizer;
    JsonValue pre_tokenizer;
    JsonValue post_processor;
    JsonValue decoder;
    ModelSettings model;
};

}  // namespace vocarix
