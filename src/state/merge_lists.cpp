#include "state/merge_lists.hpp"

#include <string>
#include <string_view>

namespace vocarix {

void MergeLists::build(const DocumentRecords& doc) {
    intern_results(doc);
    link_all(doc);
    built_ = true;
}

void MergeLists::intern_results(const DocumentRecords& doc) {
    results_.assign(doc.merges.size(), kNoSymbol);
    // Most results exist already, so each is a look-up that misses the cache:
    // results are hashed a batch at a time and their table slots, views and
    // bytes prefetched before any is looked up.
    constexpr std::size_t kBatch = 64;
    struct Pending {
        SlotIndex slot;
        std::size_t offset, length;
        std::uint64_t hash;
    };
    std::vector<Pending> batch;
    batch.reserve(kBatch);
    std::string texts;
    StringPool& pool = doc.strings;
    auto flush = [&] {
        for (const Pending& item : batch) pool.prefetch_slot(item.hash);
        pool.prefetch_entries(batch, [](const Pending& item) { return item.hash; });
        for (const Pending& item : batch)
            results_[item.slot] = pool.intern(std::string_view(texts).substr(item.offset, item.length), item.hash);
        batch.clear();
        texts.clear();
    };
    for (SlotIndex s = 0; s < doc.merges.size(); ++s) {
        if (!doc.slot_live(s)) continue;
        std::string_view left = doc.text(doc.merges[s].left), right = doc.text(doc.merges[s].right);
        if (left.empty() || right.empty()) {
            results_[s] = left.empty() ? doc.merges[s].right : doc.merges[s].left;
            continue;
        }
        std::size_t offset = texts.size();
        texts.append(left).append(right);
        std::string_view text = std::string_view(texts).substr(offset);
        batch.push_back({s, offset, text.size(), pool.hash(text)});
        if (batch.size() == kBatch) flush();
    }
    flush();
}

bool MergeLists::has_merge(const DocumentRecords& doc, Symbol left, Symbol right, Symbol result) const {
    // Every merge (left, right) produces left+right, and a string has few producers.
    if (result == kNoSymbol || result >= heads_.size()) return false;
    for (SlotIndex s = heads_[result].head[kAsResult]; s != kNoSlot; s = links_[s].next[kAsResult])
        if (doc.merges[s].left == left && doc.merges[s].right == right) return true;
    return false;
}

void MergeLists::add_slot(const DocumentRecords& doc, SlotIndex s, Symbol result) {
    results_.push_back(result);
    links_.push_back({});
    link(doc, s);
}

void MergeLists::link(const DocumentRecords& doc, SlotIndex s) {
    SlotLinks& links = links_[s];
    // Element lists have no order that matters: push at the front.
    for (int role : {kAsLeft, kAsRight}) {
        Symbol sym = role_symbol(doc, s, role);
        cover(sym);
        ListHeads& heads = heads_[sym];
        links.next[role] = heads.head[role];
        links.prev[role] = kNoSlot;
        if (heads.head[role] != kNoSlot) links_[heads.head[role]].prev[role] = s;
        heads.head[role] = s;
    }
    // Producers stay in list order: slots are linked in ascending order, so append at the tail.
    cover(results_[s]);
    ListHeads& produced = heads_[results_[s]];
    links.prev[kAsResult] = produced.producer_tail;
    links.next[kAsResult] = kNoSlot;
    if (produced.producer_tail != kNoSlot) links_[produced.producer_tail].next[kAsResult] = s;
    else produced.head[kAsResult] = s;
    produced.producer_tail = s;
}

void MergeLists::link_all(const DocumentRecords& doc) {
    heads_.assign(doc.strings.size(), ListHeads{});
    links_.assign(doc.merges.size(), SlotLinks{});
    for (SlotIndex s = 0; s < doc.merges.size(); ++s)
        if (doc.slot_live(s)) link(doc, s);
}

void MergeLists::unlink(const DocumentRecords& doc, SlotIndex s, int role) {
    SlotLinks& links = links_[s];
    ListHeads& heads = heads_[role_symbol(doc, s, role)];
    if (links.prev[role] != kNoSlot) links_[links.prev[role]].next[role] = links.next[role];
    else heads.head[role] = links.next[role];
    if (links.next[role] != kNoSlot) links_[links.next[role]].prev[role] = links.prev[role];
    else if (role == kAsResult) heads.producer_tail = links.prev[role];
}

void MergeLists::remove_slot(const DocumentRecords& doc, SlotIndex s) {
    for (int role : {kAsLeft, kAsRight, kAsResult}) unlink(doc, s, role);
}

void MergeLists::drop_dead_slots(const DocumentRecords& doc) {
    std::size_t out = 0;
    for (SlotIndex s = 0; s < doc.merges.size(); ++s)
        if (doc.slot_live(s)) results_[out++] = results_[s];
    results_.resize(out);
    results_.shrink_to_fit();
}

}  // namespace vocarix
