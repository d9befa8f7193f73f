// Bringing another tokenizer's vocabulary into a base one: every entry of
// OTHER that BASE lacks is added so that BASE's model produces it, with
// BASE's ids and merges unchanged.
//
// Appending OTHER's merges as they are leaves many of them idle: BASE's own
// merges, which fire first, take the words apart differently, so the pieces
// an appended merge joins seldom meet. Each token of OTHER is therefore
// added by the reachable addition (reachable_addition.hpp): merges that join
// the pieces BASE's model makes of the token's own text. Where those pieces
// are exactly the parts of OTHER's merge, that is OTHER's merge itself;
// elsewhere a chain of BASE's pieces. Tokens go in OTHER's merge order (its
// alphabet first), or most used first when usage counts are given, so
// that the parts of a token come before it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "operations/exact/results.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct VocabularyMergeOptions {
    std::uint64_t max_entries = UINT64_MAX;  // new entries at most, intermediate ones included
    // OTHER's tokens with how often it uses them on a corpus: those never
    // used are left out, and with rank_by_usage the most used go first.
    const std::vector<std::pair<std::string, std::uint64_t>>* usage = nullptr;
    bool rank_by_usage = true;
    // The corpus's words as BASE's model receives them (word -> count):
    // tokens BASE's pieces never line up with there are left out.
    const std::vector<std::pair<std::string, std::uint64_t>>* words = nullptr;
    // Characters no entry or byte token of BASE spells become entries.
    bool add_unknown_characters = true;
};

struct VocabularyMergeReport {
    std::uint64_t other_entries = 0;  // OTHER's entries, its added tokens left out
    std::uint64_t missing = 0;        // of them, no entry of BASE
    std::uint64_t added = 0;          // of those, added: BASE's model now produces them from their text
    std::uint64_t with_other_merge = 0;  // added by exactly OTHER's merge
    std::uint64_t with_chain = 0;        // added by merges of the pieces BASE makes of them
    std::uint64_t left_out_for_room = 0; // not added: they would go past max_entries
    // Not added, as they would stay unused on the corpus: OTHER never gives
    // them there (with usage), or no run of BASE's pieces spells them (with words).
    std::uint64_t unused_on_corpus = 0;
    // Not added: characters nothing in BASE spells, or the model still splits them.
    std::vector<std::string> not_added;
    // OTHER's tokens added as words of their own (not pieces inside words),
    // in the order added: those running text can meet (running_text.hpp).
    std::vector<std::string> words_added;
    std::vector<std::pair<std::string, std::uint32_t>> entries_created;  // every new entry, with its id
    std::vector<StringPair> merges_appended;
};

VocabularyMergeReport merge_vocabulary(EditorState& base, const EditorState& other,
                                       const VocabularyMergeOptions& options);

// Which of `entries` a corpus uses: produced (the usage counts name them,
// token -> times used) or parts of the first merge behind a produced one,
// recursively. Each list keeps the order of `entries`.
struct EntriesInUse {
    std::vector<std::string> produced;
    std::vector<std::string> parts;
};
EntriesInUse entries_in_use(const EditorState& state, const std::vector<std::pair<std::string, std::uint64_t>>& usage,
                            const std::vector<std::string>& entries);

// Empty when both files write their tokens the same way; else how they differ.
std::string token_style_difference(const EditorState& base, const EditorState& other);

}  // namespace vocarix
