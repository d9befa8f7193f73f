#include "state/editor_state.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "document/errors.hpp"

namespace vocarix {

EditorState::EditorState(DocumentRecords records) : doc_(std::move(records)), sections(doc_.sections) {
    std::uint64_t largest = 0;
    bool any = false;
    doc_.for_each_entry([&](Symbol sym) {
        largest = std::max<std::uint64_t>(largest, doc_.ids[sym]);
        any = true;
    });
    next_id_ = any ? largest + 1 : 1;
    key_order_.reset();
}

// ---- strings ----

Symbol EditorState::intern_concat(Symbol left, Symbol right) {
    std::string_view l = text(left), r = text(right);
    if (l.empty()) return right;
    if (r.empty()) return left;
    concat_buffer_.assign(l);
    concat_buffer_.append(r);
    return intern(concat_buffer_);
}

void EditorState::trim_capacity() {
    doc_.ids.shrink_to_fit();
    doc_.in_vocab.shrink_to_fit();
    doc_.merges.shrink_to_fit();
    doc_.strings.shrink_to_fit();
}

// ---- vocabulary ----

std::optional<std::uint32_t> EditorState::token_id(std::string_view token) const {
    Symbol sym = doc_.strings.find(token);
    if (!in_vocab(sym)) return std::nullopt;
    return doc_.ids[sym];
}

bool EditorState::id_taken(std::uint64_t id) const {
    auto id32 = static_cast<std::uint32_t>(id);
    return id_holders_.held(id32) ||
           std::binary_search(doc_.reserved_ids.begin(), doc_.reserved_ids.end(), id32);
}

std::uint32_t EditorState::allocate_id() {
    ensure_id_holders();
    std::uint64_t candidate = next_id_;
    while (candidate <= UINT32_MAX && id_taken(candidate)) ++candidate;
    if (candidate > UINT32_MAX) throw IdSpaceExhausted();
    next_id_ = candidate + 1;
    return static_cast<std::uint32_t>(candidate);
}

std::uint64_t EditorState::free_ids() const {
    constexpr std::uint64_t kIdCount = std::uint64_t{UINT32_MAX} + 1;
    if (next_id_ >= kIdCount) return 0;
    // No entry holds an id at or above next_id, so only reserved ids are in the way.
    const std::vector<std::uint32_t>& reserved = doc_.reserved_ids;
    auto reserved_above =
        reserved.end() - std::lower_bound(reserved.begin(), reserved.end(), static_cast<std::uint32_t>(next_id_));
    return kIdCount - next_id_ - static_cast<std::uint64_t>(reserved_above);
}

Symbol EditorState::insert_entry(std::string_view token) { return insert_entry(intern(token)); }

Symbol EditorState::insert_entry(Symbol sym) {
    std::uint32_t id = allocate_id();  // also makes the id holders current
    doc_.cover(sym);
    doc_.in_vocab[sym] = 1;
    doc_.ids[sym] = id;
    ++doc_.vocab_size;
    doc_.longest_key_bytes = std::max(doc_.longest_key_bytes, text(sym).size());
    id_holders_.add(doc_, sym);
    key_order_.inserted(sym);
    if (key_prefixes_.built()) key_prefixes_.add(text(sym));
    note_change(sym);
    return sym;
}

void EditorState::delete_entry(Symbol sym) {
    if (!in_vocab(sym)) return;
    ensure_id_holders();
    id_holders_.remove(doc_, sym);
    doc_.in_vocab[sym] = 0;
    --doc_.vocab_size;
    key_order_.deleted();
    if (key_prefixes_.built()) key_prefixes_.remove(text(sym));
    note_change(sym);
}

const KeyPrefixIndex& EditorState::key_prefixes() const {
    if (!key_prefixes_.built()) {
        key_prefixes_.reserve(doc_.vocab_size);
        for_each_entry([this](Symbol sym) { key_prefixes_.add(text(sym)); });
        key_prefixes_.mark_built();
    }
    return key_prefixes_;
}

void EditorState::assign_ids(std::span<const std::pair<Symbol, std::uint32_t>> ids) {
    for (auto [sym, id] : ids) doc_.ids[sym] = id;
    id_holders_.build(doc_);
    next_id_ = doc_.vocab_size;
}

void EditorState::reassign_id(Symbol sym, std::uint32_t id) {
    if (!in_vocab(sym)) throw std::invalid_argument("reassign_id: not a vocabulary entry");
    ensure_id_holders();
    if (id_holders_.held(id)) throw std::invalid_argument("reassign_id: an entry holds the id already");
    std::uint32_t old_id = doc_.ids[sym];
    id_holders_.remove(doc_, sym);
    doc_.ids[sym] = id;
    id_holders_.add(doc_, sym);
    if (std::uint64_t{old_id} + 1 == next_id_) next_id_ = old_id;
}

// ---- merges ----

void EditorState::append_merge(Symbol left, Symbol right, Symbol result) {
    ensure_merge_lists();
    bool was_produced = merge_lists_.first_producer(result) != kNoSlot;
    doc_.append_merge(left, right);
    merge_lists_.add_slot(doc_, static_cast<SlotIndex>(doc_.merges.size() - 1), result);
    if (!was_produced) note_change(result);
}

void EditorState::erase_merges(std::span<const SlotIndex> slots) {
    ensure_merge_lists();
    for (SlotIndex s : slots) {
        if (!slot_live(s)) continue;
        merge_lists_.remove_slot(doc_, s);
        doc_.merges[s].left = kNoSymbol;
        --doc_.live_merges;
        Symbol result = merge_lists_.result_of(s);
        if (merge_lists_.first_producer(result) == kNoSlot) note_change(result);
    }
    std::size_t dead = doc_.merges.size() - doc_.live_merges;
    if (dead > 4096 && dead > doc_.live_merges) compact_slots();
}

void EditorState::compact_slots() {
    merge_lists_.drop_dead_slots(doc_);
    std::erase_if(doc_.merges, [](const Merge& merge) { return merge.left == kNoSymbol; });
    doc_.merges.shrink_to_fit();
    merge_lists_.relink(doc_);  // no symbol's status changes, so nothing goes to the change log
    slot_marks_.clear();
}

// ---- scratch marks ----

std::uint32_t EditorState::next_epoch() {
    if (++epoch_ == 0) {
        std::fill(symbol_marks_.begin(), symbol_marks_.end(), 0);
        std::fill(slot_marks_.begin(), slot_marks_.end(), 0);
        epoch_ = 1;
    }
    return epoch_;
}

bool EditorState::mark_symbol(Symbol sym, std::uint32_t epoch) {
    if (sym >= symbol_marks_.size()) symbol_marks_.resize(std::max<std::size_t>(symbol_count(), sym + 1), 0);
    if (symbol_marks_[sym] == epoch) return false;
    symbol_marks_[sym] = epoch;
    return true;
}

bool EditorState::mark_slot(SlotIndex s, std::uint32_t epoch) {
    if (s >= slot_marks_.size()) slot_marks_.resize(std::max<std::size_t>(doc_.merges.size(), s + 1), 0);
    if (slot_marks_[s] == epoch) return false;
    slot_marks_[s] = epoch;
    return true;
}

}  // namespace vocarix
