// The parts of a tokenizer.json document that the editor carries besides the
// vocabulary and the merge list (those live in EditorState, interned).
#pragma once

#include <optional>
#include <string>

#include "document/json_value.hpp"

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

// A section the editor does not interpret, kept as compact JSON text in
// output form (keys sorted, last duplicate kept, strings and numbers as the
// writer prints them): far smaller than a value tree, and written out by
// adding indentation.
struct CompactJson {
    std::string text = "null";
};

// Optional sections hold null when absent or null: both are written as null.
struct DocumentSections {
    std::string version;
    CompactJson truncation;
    CompactJson padding;
    CompactJson added_tokens{"[]"};
    CompactJson normalizer;
    CompactJson pre_tokenizer;
    CompactJson post_processor;
    CompactJson decoder;
    ModelSettings model;
};

}  // namespace vocarix
