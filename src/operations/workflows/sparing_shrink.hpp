// Shrinking by the module's order, longest ordinary tokens first, while
// sparing what must stay: a candidate goes only when its cascade reaches no
// protected token (eviction.hpp), so special tokens, single characters and
// every token the document's added_tokens lists survive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "operations/workflows/eviction.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

struct SparingShrinkReport {
    ShrinkResult counts;
    std::vector<std::string> removed;  // the candidates removed, in order
    std::vector<std::string> spared;   // candidates passed over: their cascade reaches a protected token
};

// Removes `count` candidates (or as many as can go): multi-character,
// non-special entries with id >= min_id, longest first, then highest id.
// The tokens in `keep` are protected too.
SparingShrinkReport shrink_sparing(EditorState& state, std::uint64_t count, std::uint32_t min_id,
                                   const std::vector<std::string>& keep = {});

}  // namespace vocarix
