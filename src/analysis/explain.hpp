// What a tokenizer says about single tokens: their entry, the merges that
// produce and use them, their added_tokens entry, and how the model splits them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/added_tokens_view.hpp"
#include "analysis/segmentation.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct PositionedMerge {
    std::uint64_t position;  // in the merge list
    std::string left;
    std::string right;
};

// How the model splits the word a token stands for.
struct WordSplit {
    std::string word;  // the token without the model's end-of-word suffix
    WordPieces pieces;
};

struct TokenExplanation {
    std::string token;
    std::optional<std::uint32_t> id;  // its vocabulary id, when it is an entry
    std::uint64_t char_length = 0;
    bool special = false;
    bool byte_token = false;
    std::vector<PositionedMerge> producers;  // merges whose result it is, in list order
    std::vector<PositionedMerge> uses;       // merges with it as left or right element, in list order
    std::optional<AddedTokenEntry> added;    // its first added_tokens entry
    // The id the runtime gives it: the entry's id, or for an added token
    // outside the vocabulary the one it numbers it with.
    std::optional<std::uint64_t> runtime_id;
    // How the file's BPE model splits the token's word now; none for a
    // piece that opens with the continuing-subword prefix, which only ever
    // stands inside a word.
    std::optional<WordSplit> split;
};

// One explanation per token, in order, from one walk over the merge list.
std::vector<TokenExplanation> explain_tokens(const EditorState& state, std::span<const std::string> tokens);

}  // namespace vocarix
