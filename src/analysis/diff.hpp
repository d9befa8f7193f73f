// What differs between two tokenizer documents: entries, ids, merges (with
// their positions), added tokens, model settings and the other sections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/explain.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct TokenWithId {
    std::string token;
    std::uint32_t id;
};

struct TokenIdChange {
    std::string token;
    std::uint32_t id_a;
    std::uint32_t id_b;
};

// A merge both lists hold whose order relative to the other shared merges changed.
struct MovedMerge {
    std::string left;
    std::string right;
    std::uint64_t position_a;
    std::uint64_t position_b;
};

// A value as compact JSON; nullopt where the document leaves the field out.
struct ValueChange {
    std::string name;
    std::optional<std::string> before;
    std::optional<std::string> after;
};

struct DocumentDiff {
    // Ordered by id, then by key.
    std::vector<TokenWithId> only_in_a;
    std::vector<TokenWithId> only_in_b;
    std::vector<TokenIdChange> id_changed;  // ordered by the id in A, then by key
    std::uint64_t common_tokens = 0;

    // A merge listed k times in one list and j times in the other counts
    // |k - j| times as removed or added; the shared ones are matched in
    // list order, and the fewest of them that explain a new order are moved.
    std::vector<PositionedMerge> merges_removed;  // positions in A, ascending
    std::vector<PositionedMerge> merges_added;    // positions in B, ascending
    std::vector<MovedMerge> merges_moved;         // ascending by the position in B
    std::uint64_t common_merges = 0;

    // added_tokens entries matched by content; before and after are whole entries.
    std::vector<ValueChange> added_tokens_removed;
    std::vector<ValueChange> added_tokens_added;
    std::vector<ValueChange> added_tokens_changed;
    // The entries both lists hold come in another order (the runtime numbers
    // added tokens outside the vocabulary in list order).
    bool added_tokens_reordered = false;

    std::vector<ValueChange> model_changes;     // the BPE model's settings
    std::vector<ValueChange> sections_changed;  // version and the opaque sections
};

DocumentDiff diff_documents(const EditorState& a, const EditorState& b);

}  // namespace vocarix
