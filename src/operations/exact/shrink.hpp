// Shrinking the vocabulary by its longest ordinary tokens.
#pragma once

#include <cstdint>
#include <vector>

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

struct ShrinkCandidate {
    Symbol token;
    std::uint32_t id;
    std::uint64_t char_length;
};

// Multi-character, non-special entries with id >= min_id: longest first,
// then highest id, then key order; at most `count` of them.
std::vector<ShrinkCandidate> find_shrink_candidates(const EditorState& state, std::uint64_t count,
                                                    std::uint32_t min_id);

// Removes each candidate, chosen once up front, with its cascade.
ShrinkResult shrink(EditorState& state, std::uint64_t count, std::uint32_t min_id);

}  // namespace vocarix
