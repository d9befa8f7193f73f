// Id gaps and renumbering the vocabulary densely.
#pragma once

#include <cstdint>

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

struct GapReport {
    bool has_gaps = false;
    std::uint64_t total_gaps = 0;  // ids missing from 0..max, in 64 bits
    std::uint32_t min_id = 0;
    std::uint32_t max_id = 0;
};

GapReport check_vocab_gaps(const EditorState& state);

// Gives the entries ids 0..n-1 in id order (ties in key order), keeping the
// ids of the longest prefix already in place. Changes nothing when the ids
// are already exactly 0..n-1.
ReindexResult reindex_vocab(EditorState& state);

}  // namespace vocarix
