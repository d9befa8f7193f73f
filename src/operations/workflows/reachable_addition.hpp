// Adding words so that the file's BPE model produces each one whole.
//
// A merge appended at the end of the list fires only once no earlier merge
// applies, so the merges that build a word must join the pieces the model
// already splits it into. Each step joins the two leftmost pieces of the
// word's current segmentation with a new merge (its result becomes an
// entry when it is not one) and lets every merge apply again; the word
// loses at least one piece per step, so at most pieces-1 merges make it
// whole, whatever earlier merges do to the new pieces.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "operations/exact/results.hpp"
#include "analysis/segmentation.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct ReachableOptions {
    // Characters the model could only give as the unknown token become new
    // base entries, instead of the word being refused.
    bool add_unknown_characters = false;
    // The style's mark for a space ("▁"), which like a space gets an entry
    // of its own only for a word that is nothing else.
    std::string space_mark;
};

struct ReachableAddition {
    std::string word;   // the text the model receives for the word
    // The entry the model gives for the whole word: word + end-of-word suffix,
    // or the word alone where ignore_merges hands it over as it is.
    std::string token;
    // "already_whole": the model produced the word whole already; nothing changed.
    // "added": the model now produces it whole.
    // "unknown_characters": some character would become the unknown token; nothing changed.
    // "space_entry": a space or space mark in the word would need an entry
    // of its own (made only for a word that is that character); nothing changed.
    // "empty": the empty word; nothing changed.
    // "not_produced": the edits below were made, yet the model does not give the word whole.
    std::string outcome;
    bool added = false;  // entries or merges were added
    std::vector<std::string> pieces_before;       // the model's pieces before this word was added
    std::vector<std::uint32_t> piece_ids_before;  // their ids
    std::vector<std::string> unknown_characters;  // in word order, each once; spaces included
    std::vector<StringPair> merges_appended;
    std::vector<std::pair<std::string, std::uint32_t>> entries_created;  // new base characters first
};

// Adds `word` with `segmenter`, which must be built on `state`; the
// segmenter is kept current. Throws IdSpaceExhausted or ChainTooLong
// before changing anything when the word cannot be added, and
// std::invalid_argument for text that is not UTF-8.
ReachableAddition add_word_reachable(EditorState& state, Segmenter& segmenter, std::string_view word,
                                     const ReachableOptions& options = {});

// Adds the words in order, so that earlier additions count for later ones.
std::vector<ReachableAddition> add_words_reachable(EditorState& state, std::span<const std::string> words,
                                                   const ReachableOptions& options = {});

}  // namespace vocarix
