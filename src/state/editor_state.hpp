// The editor state: document sections, interned vocabulary and merge list,
// and the indexes that answer every question an edit asks in time
// proportional to what the edit touches.
//
// Merges live in append-order slots. A removed merge leaves a dead slot until
// compaction; a merge's list position is its rank among live slots. Each slot
// sits in three intrusive doubly linked lists: the merges using its left
// symbol, those using its right symbol, and those producing its result (kept
// in slot order, so the head is the first producer in the list). These lists
// and the id index are caches built on first use, so loading, querying and
// writing an unedited document never pay for them in time or memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "document/document.hpp"
#include "state/id_map.hpp"
#include "document/string_pool.hpp"

namespace vocarix {

using SlotIndex = std::uint32_t;
inline constexpr SlotIndex kNoSlot = UINT32_MAX;

struct Merge {
    Symbol left;
    Symbol right;
};

class EditorState {
public:
    EditorState();
    // Indexes hold pointers into the state, so it stays where it was built.
    EditorState(const EditorState&) = delete;
    EditorState& operator=(const EditorState&) = delete;

    DocumentSections sections;

    // ---- strings ----
    Symbol intern(std::string_view s);
    Symbol find_symbol(std::string_view s) const { return pool_.find(s); }
    // Like find_symbol, but every merge result is known: kNoSymbol means `s`
    // is no entry, no merge element and no merge result.
    Symbol find_merge_string(std::string_view s) const {
        ensure_merge_index();
        return pool_.find(s);
    }
    std::string_view text(Symbol sym) const { return pool_.view(sym); }
    // For walks in an order of their own: see StringPool::prefetch_view.
    void prefetch_entry(Symbol sym) const {
        pool_.prefetch_view(sym);
        __builtin_prefetch(&ids_[sym]);
    }
    void prefetch_text(Symbol sym) const { pool_.prefetch_text(sym); }
    std::size_t symbol_count() const { return pool_.size(); }
    // Interns left+right.
    Symbol intern_concat(Symbol left, Symbol right);

    // Interning in bulk (see StringPool): hash, prefetch, then intern.
    const StringPool& pool() const { return pool_; }
    Symbol intern(std::string_view s, std::uint64_t hash) {
        Symbol sym = pool_.intern(s, hash);
        ensure_symbol_info(sym);
        return sym;
    }

    // ---- loading (used by the reader) ----
    // Sizes the string table for `expected` symbols, and reserves room for
    // up to `most` per-symbol entries: room that is never written costs
    // address space only, while the table is written in full.
    void reserve_symbols(std::size_t expected, std::size_t most) {
        pool_.reserve(expected, most);
        ids_.reserve(most);
        in_vocab_.reserve(most);
    }
    // Sets the entry's id; a token given twice keeps its last id.
    // Marks both indexes as not built, so loading does not keep them current.
    void begin_loading() {
        merge_index_ready_ = false;
        id_index_ready_ = false;
    }
    void load_entry(Symbol sym, std::uint32_t id) {
        if (!in_vocab_[sym]) add_loaded_entry(sym);
        ids_[sym] = id;
    }
    void load_merge(Symbol left, Symbol right);
    // Records the ids that the document's added_tokens entries hold.
    void reserve_ids_of(const JsonArray& added_tokens);
    // Derives next_id once the whole document is read.
    void finish_loading();
    // Gives back the room that growing the arrays while loading left. Best
    // called once the document text is freed, as it copies the arrays.
    void trim_capacity();

    // ---- vocabulary ----
    std::size_t vocab_size() const { return vocab_size_; }
    bool in_vocab(Symbol sym) const { return sym < in_vocab_.size() && in_vocab_[sym]; }
    bool contains(std::string_view token) const { return in_vocab(pool_.find(token)); }
    std::uint32_t id_of(Symbol sym) const { return ids_[sym]; }
    std::optional<std::uint32_t> token_id(std::string_view token) const;
    // The first entry in key order that holds `id`, or kNoSymbol.
    Symbol token_by_id(std::uint32_t id) const;
    // Vocabulary symbols in ascending byte order of their text.
    const std::vector<Symbol>& key_order() const;
    // Calls f(symbol) for every vocabulary entry, in no particular order.
    template <class F>
    void for_each_entry(F&& f) const {
        for (Symbol sym = 0; sym < in_vocab_.size(); ++sym)
            if (in_vocab_[sym]) f(sym);
    }
    // True when two or more entries hold the same id.
    bool has_shared_ids() const {
        ensure_id_index();
        return !shared_ids_.empty();
    }

    // Hands out the lowest free id at or above next_id and advances next_id.
    // An id is free when no entry and no added token holds it. Throws
    // IdSpaceExhausted when none is left below 2^32.
    std::uint32_t allocate_id();
    // How many ids allocate_id can still hand out.
    std::uint64_t free_ids() const;
    // Inserts an absent token with a freshly allocated id.
    Symbol insert_entry(std::string_view token);
    Symbol insert_entry(Symbol sym);
    // Removes the entry; an absent token is ignored. next_id is unchanged.
    void delete_entry(Symbol sym);
    // Replaces every entry's id at once (reindexing) and sets next_id to the vocabulary size.
    void assign_ids(std::span<const std::pair<Symbol, std::uint32_t>> ids);
    std::uint64_t next_id() const { return next_id_; }
    // No vocabulary key is longer than this many bytes (an upper bound).
    std::size_t longest_key_bytes() const { return longest_key_bytes_; }

    // ---- merges ----
    std::size_t merge_count() const { return live_merges_; }
    // Slots run from 0 to slot_count(), live or not.
    SlotIndex slot_count() const { return static_cast<SlotIndex>(merges_.size()); }
    bool slot_live(SlotIndex s) const { return merges_[s].left != kNoSymbol; }
    Merge merge_at(SlotIndex s) const { return merges_[s]; }
    Symbol result_of(SlotIndex s) const {
        ensure_merge_index();
        return results_[s];
    }

    // Calls f(slot) for every live merge in list order.
    template <class F>
    void for_each_merge(F&& f) const {
        for (SlotIndex s = 0; s < merges_.size(); ++s)
            if (slot_live(s)) f(s);
    }

    // True when some live merge is exactly (left, right); `result` is left+right.
    bool has_merge(Symbol left, Symbol right, Symbol result) const;
    void append_merge(Symbol left, Symbol right, Symbol result);
    void append_merge(Symbol left, Symbol right) { append_merge(left, right, intern_concat(left, right)); }
    // The first merge in list order that produces `sym`, or kNoSlot.
    SlotIndex first_producer(Symbol sym) const {
        ensure_merge_index();
        return sym < heads_.size() ? heads_[sym].head[kAsResult] : kNoSlot;
    }
    bool is_produced(Symbol sym) const { return first_producer(sym) != kNoSlot; }

    // Calls f(slot) once for every live merge that has `sym` as left or right element.
    template <class F>
    void for_each_use(Symbol sym, F&& f) const {
        ensure_merge_index();
        if (sym >= heads_.size()) return;
        for (SlotIndex s = heads_[sym].head[kAsLeft]; s != kNoSlot; s = links_[s].next[kAsLeft]) f(s);
        for (SlotIndex s = heads_[sym].head[kAsRight]; s != kNoSlot; s = links_[s].next[kAsRight])
            if (merges_[s].left != sym) f(s);
    }

    // Removes the given live merges (each at most once); the others keep their order.
    void erase_merges(std::span<const SlotIndex> slots);

    // ---- change tracking for bulk operations ----
    // While set, every symbol whose vocabulary membership or "some merge
    // produces it" status may have changed is appended here.
    void set_change_log(std::vector<Symbol>* log) { change_log_ = log; }

    // Scratch marks for traversals: bump the epoch, then mark/test in O(1).
    std::uint32_t next_epoch();
    bool mark_symbol(Symbol sym, std::uint32_t epoch);
    bool mark_slot(SlotIndex s, std::uint32_t epoch);

private:
    enum Role { kAsLeft = 0, kAsRight = 1, kAsResult = 2 };

    // Per symbol, part of the merge index: where its three lists start.
    struct ListHeads {
        SlotIndex head[3] = {kNoSlot, kNoSlot, kNoSlot};
        SlotIndex producer_tail = kNoSlot;
    };
    // Per slot, part of the merge index: neighbours in each of its three lists.
    struct SlotLinks {
        SlotIndex prev[3];
        SlotIndex next[3];
    };

    Symbol role_symbol(SlotIndex s, int role) const {
        return role == kAsLeft ? merges_[s].left : role == kAsRight ? merges_[s].right : results_[s];
    }
    void ensure_symbol_info(Symbol sym) {
        if (sym >= ids_.size()) grow_symbol_info(sym);
    }
    void grow_symbol_info(Symbol sym);
    // Links slot `s` into the lists of its left, right and result symbols.
    void link_slot(SlotIndex s);
    void ensure_merge_index() const {
        // The lists are a cache of the merge list; building them changes nothing observable.
        if (!merge_index_ready_) const_cast<EditorState*>(this)->build_merge_index();
    }
    void build_merge_index();
    void link_all_slots();
    void unlink(SlotIndex s, int role);
    void compact_slots();
    void note_change(Symbol sym) {
        if (change_log_) change_log_->push_back(sym);
    }
    void index_id(Symbol sym);
    void unindex_id(Symbol sym);
    bool id_taken(std::uint64_t id) const;
    void ensure_id_index() const {
        // Like the merge lists, the id index is a cache built on first use.
        if (!id_index_ready_) const_cast<EditorState*>(this)->build_id_index();
    }
    void build_id_index();
    void add_loaded_entry(Symbol sym);

    StringPool pool_;
    // Per symbol: the id it holds as an entry, and whether it is one.
    std::vector<std::uint32_t> ids_;
    std::vector<std::uint8_t> in_vocab_;
    std::size_t vocab_size_ = 0;
    std::uint64_t next_id_ = 1;
    std::size_t longest_key_bytes_ = 0;

    // id -> first holder in key order; ids with several holders also list them all.
    struct ByText {
        const StringPool* pool;
        bool operator()(Symbol a, Symbol b) const { return pool->view(a) < pool->view(b); }
    };
    IdIndex id_index_;
    bool id_index_ready_ = true;
    std::vector<std::uint32_t> reserved_ids_;  // ids of added tokens, sorted
    std::unordered_map<std::uint32_t, std::set<Symbol, ByText>> shared_ids_;

    // Per slot; left is kNoSymbol once the merge is removed.
    std::vector<Merge> merges_;
    std::size_t live_merges_ = 0;
    // The merge index, built on first use.
    bool merge_index_ready_ = true;
    std::vector<Symbol> results_;    // per slot: left+right
    std::vector<SlotLinks> links_;   // per slot
    std::vector<ListHeads> heads_;   // per symbol

    // Key order, rebuilt lazily: sorted prefix plus unsorted recent insertions;
    // deleted symbols are dropped at the next rebuild.
    mutable std::vector<Symbol> sorted_;
    mutable std::vector<Symbol> recent_;
    mutable bool sorted_stale_ = false;

    std::vector<Symbol>* change_log_ = nullptr;
    std::vector<std::uint32_t> symbol_marks_;
    std::vector<std::uint32_t> slot_marks_;
    std::uint32_t epoch_ = 0;
    std::string concat_buffer_;
};

}  // namespace vocarix
