// Pruning a vocabulary by usage: the least used tokens go until the
// vocabulary has the size asked for, or until every token left was used at
// least a given number of times.
//
// A token goes together with its cascade (eviction.hpp), so what decides is
// the most any token of that cascade was used: removing "ap" also removes
// "apple", which the corpus may use a lot. Each candidate is ranked by that
// largest count and the lowest goes first; the ranks are kept up to date as
// removals shrink other cascades. A cascade that reaches a protected token
// (eviction.hpp) is never removed. Among equal ranks the highest id goes
// first: trainers number tokens in the order they learn them, so it is the
// rarest in the training data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operations/workflows/eviction.hpp"

namespace vocarix {

struct PruneOptions {
    std::optional<std::uint64_t> target_size;  // remove until the vocabulary has at most this many entries
    std::optional<std::uint64_t> min_count;    // remove tokens whose cascade was used fewer times than this
    ProtectionRules protection;
    // The added tokens outside the vocabulary will be entered into it
    // afterwards (so that the runtime keeps their ids): the target size
    // leaves room for them.
    bool room_for_outside_added_tokens = false;
};

struct PrunedToken {
    std::string token;
    std::uint32_t id = 0;
    std::uint64_t count = 0;       // the token's own usage
    std::uint64_t cascade_count = 0;  // the largest usage in its cascade
    std::vector<std::string> taken_along;  // other entries its removal deleted
};

struct PruneReport {
    std::uint64_t initial_vocab_size = 0;
    std::uint64_t final_vocab_size = 0;
    std::uint64_t initial_merges_count = 0;
    std::uint64_t final_merges_count = 0;
    std::vector<PrunedToken> removed;  // in removal order
    // Candidates passed over because their cascade would go below the target size.
    std::uint64_t passed_over = 0;
    // The size asked for was reached (always true with min_count alone).
    bool target_reached = true;
};

// Throws std::invalid_argument when neither a size nor a minimum count is given.
PruneReport prune_by_usage(EditorState& state, const UsageCounts& counts, const PruneOptions& options);

}  // namespace vocarix
