// Continuing the file's BPE on a corpus: new merges learned from word
// counts and appended after every existing merge, so that every existing id
// and merge stays where it is.
//
// Each distinct word is segmented as the runtime segments it now. A merge
// appended at the end fires only where no earlier merge applies, that is on
// these final segmentations, so the new merges are learned greedily on them:
// the adjacent pair that occurs most often (weighted by word counts) becomes
// a merge, its pieces are joined everywhere, and the pair counts around each
// join are updated in place (a pair index, not a recount). The runtime then
// applies the merges exactly as learned.
//
// New tokens keep the file's conventions: in a "▁" file a token carries the
// marker only at its start; a byte-level token stays inside one pre-token
// (a word); an end-of-word suffix stays at the end. Byte tokens and the
// unknown token are never joined. In a file with byte fallback, a character
// no entry spells (it comes as byte tokens) may itself become an entry,
// when that saves more than the best pair: it counts as a new entry.
// A pair whose result is an entry already costs no entry and is learned
// when it is the best; one whose result some existing merge uses is left
// alone, as that merge would then fire out of turn.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

struct LearnOptions {
    std::uint64_t entries = 0;    // how many new entries to learn
    std::uint64_t min_count = 2;  // a merge must join at least this many occurrences
    // Characters spelled in byte tokens may become entries (files with byte fallback).
    bool add_characters = true;
};

struct LearnedMerge {
    std::string left, right, result;
    std::uint64_t count = 0;  // joins it made on the corpus: the tokens it saves there
    bool new_entry = false;   // its result became an entry
};

struct LearnedCharacter {
    std::string character;
    std::uint64_t count = 0;   // occurrences on the corpus
    std::uint64_t saved = 0;   // byte tokens it saves there
};

struct LearnReport {
    std::vector<LearnedMerge> merges;            // in list order
    std::vector<LearnedCharacter> characters;    // in the order they were added
    // Every new entry in creation order, with its id.
    std::vector<std::pair<std::string, std::uint32_t>> entries_created;
    std::uint64_t words = 0;            // word occurrences counted
    std::uint64_t distinct_words = 0;
    // Tokens the model gives for the counted words, before and after.
    std::uint64_t tokens_before = 0;
    std::uint64_t tokens_after = 0;
    // What the learning itself expected after: before less what each merge
    // and character saved. Equal to tokens_after unless ignore_merges hands
    // some word over whole.
    std::uint64_t tokens_after_learned = 0;
    // Stopped before the number of entries asked for: no pair left that
    // occurs min_count times.
    bool exhausted = false;
};

// Learns up to options.entries new entries from `words` (word -> count, as
// the model receives them), appending merges and entries to `state`.
// Throws std::invalid_argument when the counts add up to more than 2^50.
LearnReport learn_merges(EditorState& state, const std::vector<std::pair<std::string, std::uint64_t>>& words,
                         const LearnOptions& options);

// How many tokens the model gives for the words, each counted as often as given.
std::uint64_t tokens_for_words(const EditorState& state,
                               const std::vector<std::pair<std::string, std::uint64_t>>& words);

}  // namespace vocarix
