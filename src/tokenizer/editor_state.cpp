#include "editor_state.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "errors.hpp"

namespace vocarix {

EditorState::EditorState() = default;

// ---- strings ----

Symbol EditorState::intern(std::string_view s) {
    Symbol sym = pool_.intern(s);
    ensure_symbol_info(sym);
    return sym;
}

void EditorState::ensure_symbol_info(Symbol sym) {
    if (sym >= symbols_.size()) symbols_.resize(static_cast<std::size_t>(sym) + 1);
}

Symbol EditorState::intern_concat(Symbol left, Symbol right) {
    std::string_view l = pool_.view(left), r = pool_.view(right);
    if (l.empty()) return right;
    if (r.empty()) return left;
    concat_buffer_.assign(l);
    concat_buffer_.append(r);
    return intern(concat_buffer_);
}

Symbol EditorState::find_concat(std::string_view left, std::string_view right) const {
    std::string joined;
    joined.reserve(left.size() + right.size());
    joined.append(left).append(right);
    return pool_.find(joined);
}

// ---- loading ----

void EditorState::load_entry(Symbol sym, std::uint32_t id) {
    SymbolInfo& info = symbols_[sym];
    if (!info.in_vocab) {
        info.in_vocab = true;
        ++vocab_size_;
        recent_.push_back(sym);
        longest_key_bytes_ = std::max(longest_key_bytes_, pool_.view(sym).size());
    }
    info.id = id;
    id_index_ready_ = false;
}

void EditorState::finish_loading() {
    std::uint64_t largest = 0;
    bool any = false;
    for (Symbol sym = 0; sym < symbols_.size(); ++sym) {
        if (!symbols_[sym].in_vocab) continue;
        largest = std::max<std::uint64_t>(largest, symbols_[sym].id);
        any = true;
    }
    next_id_ = any ? largest + 1 : 1;

    // Ids of added tokens are taken even where no vocabulary entry holds them:
    // handing one out again would give two tokens one embedding row.
    reserved_ids_.clear();
    for (const JsonValue& token : sections.added_tokens) {
        const JsonValue* id = token.find("id");
        if (!id) continue;
        if (const auto* value = std::get_if<std::uint64_t>(&id->data); value && *value <= UINT32_MAX)
            reserved_ids_.push_back(static_cast<std::uint32_t>(*value));
    }
    std::sort(reserved_ids_.begin(), reserved_ids_.end());
    reserved_ids_.erase(std::unique(reserved_ids_.begin(), reserved_ids_.end()), reserved_ids_.end());
}

// ---- vocabulary ----

std::optional<std::uint32_t> EditorState::token_id(std::string_view token) const {
    Symbol sym = pool_.find(token);
    if (!in_vocab(sym)) return std::nullopt;
    return symbols_[sym].id;
}

Symbol EditorState::token_by_id(std::uint32_t id) const {
    ensure_id_index();
    auto head = id_index_.get(id);
    return head ? *head : kNoSymbol;
}

void EditorState::build_id_index() {
    id_index_ready_ = true;
    id_index_.clear(vocab_size_);
    shared_ids_.clear();
    for_each_entry([&](Symbol sym) { index_id(sym); });
}

void EditorState::index_id(Symbol sym) {
    std::uint32_t id = symbols_[sym].id;
    auto head = id_index_.get(id);
    if (!head) {
        id_index_.set(id, sym);
        return;
    }
    auto [it, created] = shared_ids_.try_emplace(id, ByText{&pool_});
    if (created) it->second.insert(*head);
    it->second.insert(sym);
    id_index_.set(id, *it->second.begin());
}

void EditorState::unindex_id(Symbol sym) {
    std::uint32_t id = symbols_[sym].id;
    auto shared = shared_ids_.find(id);
    if (shared == shared_ids_.end()) {
        id_index_.erase(id);
        return;
    }
    shared->second.erase(sym);
    id_index_.set(id, *shared->second.begin());
    if (shared->second.size() == 1) shared_ids_.erase(shared);
}

const std::vector<Symbol>& EditorState::key_order() const {
    if (recent_.empty() && !sorted_stale_) return sorted_;
    auto by_text = [this](Symbol a, Symbol b) { return pool_.view(a) < pool_.view(b); };
    std::sort(recent_.begin(), recent_.end(), by_text);
    std::size_t middle = sorted_.size();
    sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
    recent_.clear();
    std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end(),
                       by_text);
    // Drop deleted symbols and the stale twin of a symbol deleted and inserted again.
    auto out = sorted_.begin();
    for (auto it = sorted_.begin(); it != sorted_.end(); ++it) {
        if (!symbols_[*it].in_vocab) continue;
        if (out != sorted_.begin() && *(out - 1) == *it) continue;
        *out++ = *it;
    }
    sorted_.erase(out, sorted_.end());
    sorted_stale_ = false;
    return sorted_;
}

bool EditorState::id_taken(std::uint64_t id) const {
    auto id32 = static_cast<std::uint32_t>(id);
    return id_index_.contains(id32) || std::binary_search(reserved_ids_.begin(), reserved_ids_.end(), id32);
}

std::uint32_t EditorState::allocate_id() {
    ensure_id_index();
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
    auto reserved_above = reserved_ids_.end() - std::lower_bound(reserved_ids_.begin(), reserved_ids_.end(),
                                                                 static_cast<std::uint32_t>(next_id_));
    return kIdCount - next_id_ - static_cast<std::uint64_t>(reserved_above);
}

Symbol EditorState::insert_entry(std::string_view token) { return insert_entry(intern(token)); }

Symbol EditorState::insert_entry(Symbol sym) {
    std::uint32_t id = allocate_id();  // also makes the id index current
    SymbolInfo& info = symbols_[sym];
    info.in_vocab = true;
    info.id = id;
    ++vocab_size_;
    index_id(sym);
    recent_.push_back(sym);
    longest_key_bytes_ = std::max(longest_key_bytes_, pool_.view(sym).size());
    note_change(sym);
    return sym;
}

void EditorState::delete_entry(Symbol sym) {
    if (!in_vocab(sym)) return;
    ensure_id_index();
    unindex_id(sym);
    symbols_[sym].in_vocab = false;
    --vocab_size_;
    sorted_stale_ = true;
    note_change(sym);
}

void EditorState::assign_ids(std::span<const std::pair<Symbol, std::uint32_t>> ids) {
    for (auto [sym, id] : ids) symbols_[sym].id = id;
    build_id_index();
    next_id_ = vocab_size_;
}

// ---- merges ----

bool EditorState::has_merge(Symbol left, Symbol right) const {
    return has_merge(left, right, find_concat(pool_.view(left), pool_.view(right)));
}

bool EditorState::has_merge(Symbol left, Symbol right, Symbol result) const {
    ensure_merge_index();
    // Every merge (left, right) produces left+right, and a string has few producers.
    if (result == kNoSymbol || result >= symbols_.size()) return false;
    for (SlotIndex s = symbols_[result].head[kAsResult]; s != kNoSlot; s = slots_[s].next[kAsResult])
        if (slots_[s].left == left && slots_[s].right == right) return true;
    return false;
}

void EditorState::load_merge(Symbol left, Symbol right) {
    if (slots_.size() >= kNoSlot - 1) throw std::length_error("too many merges");
    slots_.push_back(Slot{left, right, kNoSymbol, {kNoSlot, kNoSlot, kNoSlot}, {kNoSlot, kNoSlot, kNoSlot}});
    ++live_merges_;
    merge_index_ready_ = false;
}

void EditorState::append_merge(Symbol left, Symbol right, Symbol result) {
    ensure_merge_index();
    if (slots_.size() >= kNoSlot - 1) throw std::length_error("too many merges");
    bool was_produced = symbols_[result].head[kAsResult] != kNoSlot;
    slots_.push_back(Slot{left, right, result, {kNoSlot, kNoSlot, kNoSlot}, {kNoSlot, kNoSlot, kNoSlot}});
    ++live_merges_;
    link_slot(static_cast<SlotIndex>(slots_.size() - 1));
    if (!was_produced) note_change(result);
}

void EditorState::link_slot(SlotIndex s) {
    Slot& slot = slots_[s];
    // Element lists have no order that matters: push at the front.
    for (int role : {kAsLeft, kAsRight}) {
        SymbolInfo& info = symbols_[role_symbol(slot, role)];
        slot.next[role] = info.head[role];
        slot.prev[role] = kNoSlot;
        if (info.head[role] != kNoSlot) slots_[info.head[role]].prev[role] = s;
        info.head[role] = s;
    }
    // Producers stay in list order: slots are linked in ascending order, so append at the tail.
    SymbolInfo& produced = symbols_[slot.result];
    slot.prev[kAsResult] = produced.producer_tail;
    slot.next[kAsResult] = kNoSlot;
    if (produced.producer_tail != kNoSlot) slots_[produced.producer_tail].next[kAsResult] = s;
    else produced.head[kAsResult] = s;
    produced.producer_tail = s;
}

void EditorState::build_merge_index() {
    merge_index_ready_ = true;
    for (SymbolInfo& info : symbols_) {
        info.head[kAsLeft] = info.head[kAsRight] = info.head[kAsResult] = kNoSlot;
        info.producer_tail = kNoSlot;
    }
    for (SlotIndex s = 0; s < slots_.size(); ++s) {
        if (slots_[s].left == kNoSymbol) continue;
        if (slots_[s].result == kNoSymbol) slots_[s].result = intern_concat(slots_[s].left, slots_[s].right);
        link_slot(s);
    }
}

void EditorState::unlink(SlotIndex s, int role) {
    Slot& slot = slots_[s];
    SymbolInfo& info = symbols_[role_symbol(slot, role)];
    if (slot.prev[role] != kNoSlot) slots_[slot.prev[role]].next[role] = slot.next[role];
    else info.head[role] = slot.next[role];
    if (slot.next[role] != kNoSlot) slots_[slot.next[role]].prev[role] = slot.prev[role];
    else if (role == kAsResult) info.producer_tail = slot.prev[role];
}

void EditorState::erase_merges(std::span<const SlotIndex> slots) {
    ensure_merge_index();
    for (SlotIndex s : slots) {
        if (!slot_live(s)) continue;
        for (int role : {kAsLeft, kAsRight, kAsResult}) unlink(s, role);
        Symbol result = slots_[s].result;
        slots_[s].left = kNoSymbol;
        --live_merges_;
        if (symbols_[result].head[kAsResult] == kNoSlot) note_change(result);
    }
    std::size_t dead = slots_.size() - live_merges_;
    if (dead > 4096 && dead > live_merges_) compact_slots();
}

void EditorState::compact_slots() {
    std::vector<Slot> live;
    live.reserve(live_merges_);
    for (const Slot& slot : slots_)
        if (slot.left != kNoSymbol) live.push_back(slot);
    slots_ = std::move(live);
    build_merge_index();
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
    if (sym >= symbol_marks_.size()) symbol_marks_.resize(std::max<std::size_t>(symbols_.size(), sym + 1), 0);
    if (symbol_marks_[sym] == epoch) return false;
    symbol_marks_[sym] = epoch;
    return true;
}

bool EditorState::mark_slot(SlotIndex s, std::uint32_t epoch) {
    if (s >= slot_marks_.size()) slot_marks_.resize(std::max<std::size_t>(slots_.size(), s + 1), 0);
    if (slot_marks_[s] == epoch) return false;
    slot_marks_[s] = epoch;
    return true;
}

}  // namespace vocarix
