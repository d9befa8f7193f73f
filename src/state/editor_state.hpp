// The editor state: the document's records and the indexes that answer
// every question an edit asks in time proportional to what the edit
// touches. Every change goes through the state operations below, which keep
// the records and the indexes in step.
//
// Merges live in append-order slots. A removed merge leaves a dead slot until
// compaction; a merge's list position is its rank among live slots. The
// merge lists, the id holders and the key order are caches, built on first
// use, so loading, querying and writing an unedited document never pay for
// them in time or memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/records.hpp"
#include "state/id_holders.hpp"
#include "state/key_order.hpp"
#include "state/key_prefix_index.hpp"
#include "state/merge_lists.hpp"

namespace vocarix {

class EditorState {
    // First, so that the references below bind to a constructed document.
    DocumentRecords doc_;

public:
    explicit EditorState(DocumentRecords records);
    // Indexes hold pointers into the state, so it stays where it was built.
    EditorState(const EditorState&) = delete;
    EditorState& operator=(const EditorState&) = delete;

    DocumentSections& sections;
    // What the writers walk.
    const DocumentRecords& records() const { return doc_; }

    // ---- strings ----
    Symbol intern(std::string_view s) { return doc_.intern(s); }
    Symbol find_symbol(std::string_view s) const { return doc_.strings.find(s); }
    // Like find_symbol, but every merge result is known: kNoSymbol means `s`
    // is no entry, no merge element and no merge result.
    Symbol find_merge_string(std::string_view s) const {
        ensure_merge_lists();
        return doc_.strings.find(s);
    }
    std::string_view text(Symbol sym) const { return doc_.text(sym); }
    std::size_t symbol_count() const { return doc_.strings.size(); }
    // Interns left+right.
    Symbol intern_concat(Symbol left, Symbol right);

    // Gives back the room that growing the arrays while loading left. Best
    // called once the document text is freed, as it copies the arrays.
    void trim_capacity();

    // ---- vocabulary ----
    std::size_t vocab_size() const { return doc_.vocab_size; }
    bool in_vocab(Symbol sym) const { return doc_.is_entry(sym); }
    bool contains(std::string_view token) const { return in_vocab(doc_.strings.find(token)); }
    std::uint32_t id_of(Symbol sym) const { return doc_.ids[sym]; }
    std::optional<std::uint32_t> token_id(std::string_view token) const;
    // The first entry in key order that holds `id`, or kNoSymbol.
    Symbol token_by_id(std::uint32_t id) const {
        ensure_id_holders();
        return id_holders_.first_holder(id);
    }
    // Vocabulary symbols in ascending byte order of their text.
    const std::vector<Symbol>& key_order() const { return key_order_.get(doc_); }
    // Calls f(symbol) for every vocabulary entry, in no particular order.
    template <class F>
    void for_each_entry(F&& f) const {
        doc_.for_each_entry(std::forward<F>(f));
    }
    // True when two or more entries hold the same id.
    bool has_shared_ids() const {
        ensure_id_holders();
        return id_holders_.has_shared();
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
    // Gives an entry another id, one that no entry holds (throws
    // std::invalid_argument otherwise); an added token may state it, as an
    // id an entry frees is one a stale added_tokens entry can still name. When the entry's old id was
    // the last one allocate_id handed out, next_id goes back to it, so an
    // entry created and then moved leaves no hole for the next allocation.
    void reassign_id(Symbol sym, std::uint32_t id);
    // No vocabulary key is longer than this many bytes (an upper bound).
    std::size_t longest_key_bytes() const { return doc_.longest_key_bytes; }
    // Key lengths and fingerprints for prefix searches; built on first use,
    // then kept current by every insertion and deletion.
    const KeyPrefixIndex& key_prefixes() const;

    // ---- merges ----
    std::size_t merge_count() const { return doc_.live_merges; }
    // Slots run from 0 to slot_count(), live or not.
    SlotIndex slot_count() const { return static_cast<SlotIndex>(doc_.merges.size()); }
    bool slot_live(SlotIndex s) const { return doc_.slot_live(s); }
    Merge merge_at(SlotIndex s) const { return doc_.merges[s]; }
    Symbol result_of(SlotIndex s) const {
        ensure_merge_lists();
        return merge_lists_.result_of(s);
    }

    // Calls f(slot) for every live merge in list order.
    template <class F>
    void for_each_merge(F&& f) const {
        doc_.for_each_merge(std::forward<F>(f));
    }

    // True when some live merge is exactly (left, right); `result` is left+right.
    bool has_merge(Symbol left, Symbol right, Symbol result) const {
        ensure_merge_lists();
        return merge_lists_.has_merge(doc_, left, right, result);
    }
    void append_merge(Symbol left, Symbol right, Symbol result);
    void append_merge(Symbol left, Symbol right) { append_merge(left, right, intern_concat(left, right)); }
    // The first merge in list order that produces `sym`, or kNoSlot.
    SlotIndex first_producer(Symbol sym) const {
        ensure_merge_lists();
        return merge_lists_.first_producer(sym);
    }
    bool is_produced(Symbol sym) const { return first_producer(sym) != kNoSlot; }

    // Calls f(slot) once for every live merge that has `sym` as left or right element.
    template <class F>
    void for_each_use(Symbol sym, F&& f) const {
        ensure_merge_lists();
        merge_lists_.for_each_use(doc_, sym, std::forward<F>(f));
    }

    // Calls f(slot) for every live merge that produces `sym`, in list order.
    template <class F>
    void for_each_producer(Symbol sym, F&& f) const {
        ensure_merge_lists();
        merge_lists_.for_each_producer(sym, std::forward<F>(f));
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
    void ensure_merge_lists() const {
        if (!merge_lists_.built()) merge_lists_.build(doc_);
    }
    void ensure_id_holders() const {
        if (!id_holders_.built()) id_holders_.build(doc_);
    }
    void note_change(Symbol sym) {
        if (change_log_) change_log_->push_back(sym);
    }
    bool id_taken(std::uint64_t id) const;
    void compact_slots();

    std::uint64_t next_id_ = 1;

    // Caches of the records: building one from a const state changes nothing observable.
    mutable MergeLists merge_lists_;
    mutable IdHolders id_holders_;
    KeyOrder key_order_;
    mutable KeyPrefixIndex key_prefixes_;

    std::vector<Symbol>* change_log_ = nullptr;
    std::vector<std::uint32_t> symbol_marks_;
    std::vector<std::uint32_t> slot_marks_;
    std::uint32_t epoch_ = 0;
    std::string concat_buffer_;
};

}  // namespace vocarix
