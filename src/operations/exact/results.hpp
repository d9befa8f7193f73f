// Records that editing operations return. They hold copies, never
// references into the editor, so they stay valid after later edits.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vocarix {

using StringPair = std::pair<std::string, std::string>;

struct AdditionResult {
    std::string token;
    bool added = false;
    std::string method;  // "already_exists", "single_char", "longest_prefix" or "char_chain"
    std::vector<StringPair> added_merges;
};

struct RemovalResult {
    std::string root_token;
    std::vector<std::string> removed_tokens;
    std::vector<StringPair> removed_merges;
};

struct ShrinkResult {
    std::uint64_t initial_vocab_size = 0;
    std::uint64_t initial_merges_count = 0;
    std::uint64_t final_vocab_size = 0;
    std::uint64_t final_merges_count = 0;
    std::uint64_t tokens_removed_count = 0;
    std::uint64_t total_tokens_removed = 0;
    std::uint64_t total_merges_removed = 0;
};

struct InvalidMerge {
    std::uint64_t position;
    std::string left;
    std::string right;
};

struct ValidationResult {
    std::uint64_t valid_count = 0;
    std::uint64_t invalid_count = 0;
    std::vector<InvalidMerge> invalid_merges;
};

struct TokenizerStats {
    std::uint64_t vocab_size = 0;
    std::uint64_t merges_count = 0;
    std::uint64_t single_char_count = 0;
    std::uint64_t special_token_count = 0;
    std::uint32_t min_token_id = 0;
    std::uint32_t max_token_id = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> length_distribution;
};

struct ReindexResult {
    std::uint64_t vocab_size = 0;
    std::uint64_t merges_count = 0;
    std::uint32_t old_min_id = 0;
    std::uint32_t old_max_id = 0;
    std::uint32_t new_min_id = 0;
    std::uint32_t new_max_id = 0;
    std::uint64_t ids_remapped = 0;
    std::uint64_t gaps_removed = 0;
};

}  // namespace vocarix
