// Whether a tokenizer runtime reads a document the way it states itself,
// and repairs that make it do so.
//
// A runtime refuses a document whose merges name a non-entry, reads an
// added token's id from the vocabulary or from its place in the list rather
// than from the entry, and emits the ids a post-processor template holds.
// The check lists every place where that differs from what the document
// says; the repairs change what can be changed without changing what any
// token means to the runtime, except where two tokens shared one id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "document/document_ids.hpp"
#include "analysis/runtime_ids.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct MergeProblem {
    std::uint64_t position = 0;
    std::string left;
    std::string right;
    // "left", "right" or "result": which string is no entry (`missing`);
    // "prefix": the right part is shorter than the continuing-subword
    // prefix the runtime cuts off it, which makes it fail.
    std::string reason;
    std::string missing;
};

struct AddedIdProblem {
    std::size_t position = 0;  // in added_tokens
    std::string content;
    std::optional<std::uint64_t> stored_id;
    std::uint64_t runtime_id = 0;
};

struct SharedId {
    std::uint32_t id = 0;
    std::vector<std::string> tokens;  // entries in key order, then added tokens
};

struct ReferenceProblem {
    std::string where;
    std::string token;
    std::optional<std::uint32_t> stated;
    std::optional<std::uint32_t> runtime_id;  // none: the runtime knows no such token
};

struct ConsistencyReport {
    bool merges_as_object = false;  // an empty merge list written as {}, which runtimes refuse
    std::vector<MergeProblem> merges;
    std::vector<std::pair<std::size_t, std::string>> malformed_added;
    std::vector<AddedIdProblem> added_ids;   // content is an entry; the stored id is not its id
    std::vector<AddedIdProblem> renumbered;  // outside the vocabulary; numbered otherwise than stored
    std::vector<SharedId> shared_ids;
    std::vector<ReferenceProblem> references;
    // The embedding rows the runtime needs against the vocabulary.
    std::uint64_t rows = 0;
    std::uint64_t vocab_size = 0;
    std::uint64_t outside_vocab = 0;  // added tokens the runtime numbers past the vocabulary

    bool clean() const {
        return !merges_as_object && merges.empty() && malformed_added.empty() && added_ids.empty() &&
               renumbered.empty() && shared_ids.empty() && references.empty();
    }
};

ConsistencyReport check_consistency(const EditorState& state);

struct PinnedToken {
    std::string content;
    std::uint32_t id = 0;                      // its entry's id now
    std::optional<std::uint32_t> id_before;    // what the runtime gave it before, if it knew it
};

struct PinReport {
    std::vector<PinnedToken> pinned;
    // Entries the edit created on an id a pinned token had, with their new ids.
    std::vector<std::pair<std::string, std::uint32_t>> moved;
};

// When the runtime would now give an added token outside the vocabulary
// another id than in `before`, or an id an entry holds, enters those tokens
// into the vocabulary: each at the id the runtime gave it in `before`, which
// an entry created since then gives up for a fresh one; only when an entry
// that was there before holds it does the token get a fresh id. From then
// on a change of the vocabulary's size no longer moves them. All of them or
// none: entering one moves the others.
PinReport pin_added_tokens(EditorState& state, const RuntimeIds& before);

struct RepairReport {
    bool merges_made_list = false;
    std::vector<MergeProblem> merges_removed;
    std::vector<PinnedToken> pinned;
    std::vector<std::pair<std::string, std::uint32_t>> new_entries_moved;
    std::vector<IdChange> added_ids;
    std::vector<IdChange> references;

    bool empty() const {
        return !merges_made_list && merges_removed.empty() && pinned.empty() && new_entries_moved.empty() &&
               added_ids.empty() && references.empty();
    }
};

// Repairs what check_consistency reports, where that is sound: an empty
// merge list becomes a list, merges the runtime refuses go, added tokens
// outside the vocabulary are pinned (against `before`, the runtime's ids
// when the edit began), and added_tokens, post-processor
// and padding ids are set to the runtime's ids. Left as they are: entries
// sharing an id, malformed added_tokens entries, and references to tokens
// the runtime does not know.
RepairReport make_loadable(EditorState& state, const RuntimeIds& before);

}  // namespace vocarix
