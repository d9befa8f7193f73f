// Adding tokens while holding the vocabulary size: each addition that grows
// the vocabulary past its starting size is followed by one removal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

struct KeepSizeReport {
    std::uint64_t initial_vocab_size = 0;
    std::uint64_t final_vocab_size = 0;
    std::uint64_t tokens_requested = 0;
    std::uint32_t tokens_added = 0;
    std::uint32_t tokens_removed = 0;
};

// Adds each absent token with its merges; after each addition that grows the
// vocabulary beyond its starting size, removes the first unprotected token in
// the order (more characters, produced by a merge, smaller bytes). Protected:
// the whitelist, "▁", and the single-character and bracketed special tokens
// present at the start.
KeepSizeReport add_tokens_keep_size(EditorState& state, const std::vector<std::string>& tokens,
                                    const std::vector<std::string>& whitelist);

}  // namespace vocarix
