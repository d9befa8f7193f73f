// Learning at a fixed size: the new entries learned from a corpus take the
// ids of tokens evicted for them, so the embedding keeps its shape.
//
// Eviction is the fixed-size addition's (fixed_size_addition.hpp), ranked
// by usage: the counts given, or else the corpus's own token counts under
// the model before learning. Never evicted, besides what that addition
// protects: every new entry, and both parts of every learned merge with the
// chains of first producers behind them, so every learned merge keeps its
// parts and fires as learned where the corpus's words still build them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "learning/merge_learning.hpp"
#include "operations/workflows/eviction.hpp"
#include "operations/workflows/fixed_size_addition.hpp"

namespace vocarix {

struct FixedSizeLearnReport {
    LearnReport learned;    // entries_created with the ids they end with; tokens_after after the evictions
    FixedSizeReport room;   // initial and final sizes, evicted tokens, entries left without room
    bool counts_from_corpus = false;  // usage came from the corpus itself
};

using CountList = std::vector<std::pair<std::string, std::uint64_t>>;

FixedSizeLearnReport learn_merges_fixed_size(EditorState& state, const CountList& words, const LearnOptions& options,
                                             const ProtectionRules& protection, const CountList* usage);

// How often the model uses each token on the words, each word counted as
// often as given: what a runtime encoding the corpus would count.
CountList token_counts_for_words(const EditorState& state, const CountList& words);

}  // namespace vocarix
