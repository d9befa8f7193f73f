// Taking tokens out of a vocabulary for the workflows that choose what goes
// (a fixed-size addition, pruning by usage, shrinking that spares added
// tokens): which tokens must stay, what removing one takes along, and the
// removal itself.
//
// Removing a token takes along what the removal rules say: every merge that
// uses a removed string, recursively the results of those merges, and the
// merges that produce a removed string. Unlike the module's removal, which
// takes only the first producer, every producer goes: a merge whose result
// is no entry is one a tokenizer runtime refuses to load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/segmentation.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct ProtectionRules {
    std::vector<std::string> keep;  // tokens that never go
    std::uint32_t min_id = 0;       // entries with a smaller id never go
};

// Entries that must stay: special tokens (which include the byte tokens
// <0xNN>), single characters (with the model's end-of-word suffix or
// continuing-subword prefix, the pieces words start from), the unknown token, every token the document's
// added_tokens lists, ids below min_id and the keep list, plus whatever a
// workflow adds while it runs.
class ProtectedTokens {
public:
    ProtectedTokens(EditorState& state, const ProtectionRules& rules);

    bool contains(Symbol sym) const {
        return (sym < marks_.size() && marks_[sym]) || (state_.in_vocab(sym) && state_.id_of(sym) < min_id_);
    }
    void add(Symbol sym) {
        if (sym >= marks_.size()) marks_.resize(static_cast<std::size_t>(sym) + 1, false);
        marks_[sym] = true;
    }

private:
    const EditorState& state_;
    std::vector<bool> marks_;
    std::uint32_t min_id_;
};

// The contents of the document's added_tokens entries, in list order.
std::vector<std::string> added_token_contents(const EditorState& state);

// How often each token was used (by a tokenizer runtime encoding a corpus);
// tokens not given count 0.
class UsageCounts {
public:
    UsageCounts() = default;
    UsageCounts(EditorState& state, std::span<const std::pair<std::string, std::uint64_t>> counts);

    bool given() const { return given_; }
    std::uint64_t of(Symbol sym) const { return sym < counts_.size() ? counts_[sym] : 0; }
    // Tokens in the counts that are no entry.
    std::size_t unknown_tokens() const { return unknown_; }

private:
    bool given_ = false;
    std::vector<std::uint64_t> counts_;
    std::size_t unknown_ = 0;
};

// What removing a token takes along.
struct Cascade {
    std::vector<Symbol> tokens;      // root first; strings that are no entry included
    std::vector<SlotIndex> merges;   // uses of the tokens and their producers
    std::size_t entries = 0;         // how many of the tokens are entries
};

// The cascade of `root`, or nothing when it reaches a protected entry or
// more than `limit` strings.
std::optional<Cascade> guarded_cascade(EditorState& state, Symbol root, const ProtectedTokens& protect,
                                       std::size_t limit = SIZE_MAX);

// True when removing `root` takes no other string along and no merge uses it.
bool removes_only_itself(const EditorState& state, Symbol root);

// Unprotected entries in the order workflows evict them to make room, walked
// once: protection only grows and entries only go, so a token passed over
// never becomes right later, except one that merges still use, which waits
// in a second tier (and goes only with a cascade of at most kLargestCascade
// entries).
//
// The least used go first when counts are given; among equal counts (or
// without counts) the tokens least likely to be used: first those no merge
// builds, which the model never produces (unless it takes whole words as
// they are), then the latest built first. In a trained merge list later
// merges join rarer pairs; a converted list can end with common tokens
// (runs of "▁"), but those are used by other merges and so wait in the
// second tier.
class EvictionOrder {
public:
    // A removal that takes more than this many entries along is not worth one id.
    static constexpr std::size_t kLargestCascade = 16;

    EvictionOrder(const EditorState& state, const UsageCounts& counts, const ProtectedTokens& protect);

    // The next token to evict with what its removal takes, or nothing.
    std::optional<Cascade> next(EditorState& state, const ProtectedTokens& protect);

private:
    std::vector<Symbol> order_;
    std::size_t position_ = 0;
    std::vector<Symbol> deferred_;
    std::size_t deferred_position_ = 0;
};

// Removes a cascade; returns the entries deleted with the ids they held. A
// segmenter built on the state, if given, is kept current.
std::vector<std::pair<Symbol, std::uint32_t>> remove_cascade(EditorState& state, const Cascade& cascade,
                                                             Segmenter* segmenter = nullptr);

}  // namespace vocarix
