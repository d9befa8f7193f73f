// The merge lists: for every symbol, the live merges that use it as left or
// right element and those that produce it, as intrusive doubly linked lists
// over the merge slots. Producers stay in slot order, so the head of a
// symbol's producer list is its first producer in the merge list.
//
// A cache of the document's merge list, built on first use: loading,
// querying and writing an unedited document never pay for it.
#pragma once

#include <cstddef>
#include <vector>

#include "document/records.hpp"

namespace vocarix {

class MergeLists {
public:
    bool built() const { return built_; }
    // Forgets everything; the next build starts afresh.
    void invalidate() { built_ = false; }
    // Builds the lists for every live slot, interning each merge's result.
    void build(const DocumentRecords& doc);

    // Only once built.
    Symbol result_of(SlotIndex s) const { return results_[s]; }
    SlotIndex first_producer(Symbol sym) const {
        return sym < heads_.size() ? heads_[sym].head[kAsResult] : kNoSlot;
    }
    // True when some live merge is exactly (left, right); `result` is left+right.
    bool has_merge(const DocumentRecords& doc, Symbol left, Symbol right, Symbol result) const;

    // Calls f(slot) once for every live merge that has `sym` as left or right element.
    template <class F>
    void for_each_use(const DocumentRecords& doc, Symbol sym, F&& f) const {
        if (sym >= heads_.size()) return;
        for (SlotIndex s = heads_[sym].head[kAsLeft]; s != kNoSlot; s = links_[s].next[kAsLeft]) f(s);
        for (SlotIndex s = heads_[sym].head[kAsRight]; s != kNoSlot; s = links_[s].next[kAsRight])
            if (doc.merges[s].left != sym) f(s);
    }

    // Calls f(slot) for every live merge that produces `sym`, in list order.
    template <class F>
    void for_each_producer(Symbol sym, F&& f) const {
        if (sym >= heads_.size()) return;
        for (SlotIndex s = heads_[sym].head[kAsResult]; s != kNoSlot; s = links_[s].next[kAsResult]) f(s);
    }

    // Links the slot just appended to the document's merges.
    void add_slot(const DocumentRecords& doc, SlotIndex s, Symbol result);
    // Takes a live slot out of every list; the document marks it dead afterwards.
    void remove_slot(const DocumentRecords& doc, SlotIndex s);
    // Compaction of the slots, in two steps around the document's own: drop
    // the dead slots' results while the document still has them, then link
    // the compacted slots afresh.
    void drop_dead_slots(const DocumentRecords& doc);
    void relink(const DocumentRecords& doc) { link_all(doc); }

private:
    enum Role { kAsLeft = 0, kAsRight = 1, kAsResult = 2 };

    // Per symbol: where its three lists start, and its last producer.
    struct ListHeads {
        SlotIndex head[3] = {kNoSlot, kNoSlot, kNoSlot};
        SlotIndex producer_tail = kNoSlot;
    };
    // Per slot: neighbours in each of its three lists.
    struct SlotLinks {
        SlotIndex prev[3];
        SlotIndex next[3];
    };

    Symbol role_symbol(const DocumentRecords& doc, SlotIndex s, int role) const {
        return role == kAsLeft ? doc.merges[s].left : role == kAsRight ? doc.merges[s].right : results_[s];
    }
    void cover(Symbol sym) {
        if (sym >= heads_.size()) heads_.resize(static_cast<std::size_t>(sym) + 1);
    }
    void intern_results(const DocumentRecords& doc);
    void link(const DocumentRecords& doc, SlotIndex s);
    void link_all(const DocumentRecords& doc);
    void unlink(const DocumentRecords& doc, SlotIndex s, int role);

    bool built_ = false;
    std::vector<Symbol> results_;   // per slot: left+right
    std::vector<SlotLinks> links_;  // per slot
    std::vector<ListHeads> heads_;  // per symbol
};

}  // namespace vocarix
