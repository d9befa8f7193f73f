#include "state/editor_state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <stdexcept>
#include <utility>

#include "document/errors.hpp"
#include "document/text.hpp"

namespace vocarix {

EditorState::EditorState() = default;

// ---- strings ----

Symbol EditorState::intern(std::string_view s) {
    Symbol sym = pool_.intern(s);
    ensure_symbol_info(sym);
    return sym;
}

void EditorState::grow_symbol_info(Symbol sym) {
    std::size_t size = static_cast<std::size_t>(sym) + 1;
    ids_.resize(size, 0);
    in_vocab_.resize(size, 0);
    if (merge_index_ready_) heads_.resize(size);
}

Symbol EditorState::intern_concat(Symbol left, Symbol right) {
    std::string_view l = pool_.view(left), r = pool_.view(right);
    if (l.empty()) return right;
    if (r.empty()) return left;
    concat_buffer_.assign(l);
    concat_buffer_.append(r);
    return intern(concat_buffer_);
}

// ---- loading ----

void EditorState::add_loaded_entry(Symbol sym) {
    in_vocab_[sym] = 1;
    ++vocab_size_;
    recent_.push_back(sym);
    longest_key_bytes_ = std::max(longest_key_bytes_, pool_.view(sym).size());
    id_index_ready_ = false;
}

void EditorState::load_merge(Symbol left, Symbol right) {
    if (merges_.size() >= kNoSlot - 1) throw std::length_error("too many merges");
    merges_.push_back({left, right});
    ++live_merges_;
    merge_index_ready_ = false;
}

void EditorState::finish_loading() {
    std::uint64_t largest = 0;
    bool any = false;
    for_each_entry([&](Symbol sym) {
        largest = std::max<std::uint64_t>(largest, ids_[sym]);
        any = true;
    });
    next_id_ = any ? largest + 1 : 1;
}

void EditorState::trim_capacity() {
    ids_.shrink_to_fit();
    in_vocab_.shrink_to_fit();
    merges_.shrink_to_fit();
    pool_.shrink_to_fit();
}

void EditorState::reserve_ids_of(const JsonArray& added_tokens) {
    // Ids of added tokens are taken even where no vocabulary entry holds them:
    // handing one out again would give two tokens one embedding row.
    reserved_ids_.clear();
    for (const JsonValue& token : added_tokens) {
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
    return ids_[sym];
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
    std::uint32_t id = ids_[sym];
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
    std::uint32_t id = ids_[sym];
    auto shared = shared_ids_.find(id);
    if (shared == shared_ids_.end()) {
        id_index_.erase(id);
        return;
    }
    shared->second.erase(sym);
    id_index_.set(id, *shared->second.begin());
    if (shared->second.size() == 1) shared_ids_.erase(shared);
}

namespace {

// Eight bytes of `s` from `offset`, big-endian and zero-padded: comparing these
// numbers orders strings as their bytes do, up to ties between equal prefixes.
std::uint64_t order_prefix(std::string_view s, std::size_t offset) {
    std::uint64_t key = 0;
    std::size_t n = s.size() > offset ? std::min<std::size_t>(s.size() - offset, 8) : 0;
    for (std::size_t i = 0; i < n; ++i)
        key |= std::uint64_t{static_cast<unsigned char>(s[offset + i])} << (56 - 8 * i);
    return key;
}

// The first sixteen bytes of a pooled string as two such numbers, read as
// whole words (the pool keeps readable bytes after every string).
std::pair<std::uint64_t, std::uint64_t> order_prefixes(std::string_view s) {
    static_assert(StringPool::kReadSlack >= 16);
    static_assert(std::endian::native == std::endian::little, "words are read little-endian");
    if (s.empty()) return {0, 0};
    auto word = [&](std::size_t offset) {
        std::uint64_t w = __builtin_bswap64(load8(s.data() + offset));
        std::size_t kept = s.size() > offset ? std::min<std::size_t>(s.size() - offset, 8) : 0;
        return kept == 0 ? 0 : w & (~std::uint64_t{0} << (64 - 8 * kept));
    };
    return {word(0), word(8)};
}

struct Keyed {
    std::uint64_t prefix;
    Symbol sym;
    std::uint32_t index;  // into the second words, which only ties need
};

constexpr std::size_t kDeepestPrefix = 256;

// Orders `keyed`, whose strings agree on their first `offset` bytes, by the
// rest of their bytes: by the next eight, then each run of equal prefixes by
// the eight after those.
void sort_from(std::span<Keyed> keyed, std::size_t offset, const StringPool& pool) {
    if (offset >= kDeepestPrefix) {
        // Very long shared prefixes are rare: compare the rest directly rather than recurse.
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
            auto rest = [&](Symbol sym) { std::string_view s = pool.view(sym); return s.substr(std::min(offset, s.size())); };
            return rest(a.sym) < rest(b.sym);
        });
        return;
    }
    std::size_t longest = 0;
    for (Keyed& k : keyed) {
        std::string_view text = pool.view(k.sym);
        k.prefix = order_prefix(text, offset);
        longest = std::max(longest, text.size());
    }
    if (longest <= offset + 8) {
        // Equal padded bytes here mean one string is the other plus zero bytes.
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
            return a.prefix != b.prefix ? a.prefix < b.prefix : pool.view(a.sym).size() < pool.view(b.sym).size();
        });
        return;
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.prefix < b.prefix; });
    for (std::size_t begin = 0; begin < keyed.size();) {
        std::size_t end = begin + 1;
        while (end < keyed.size() && keyed[end].prefix == keyed[begin].prefix) ++end;
        if (end - begin > 1) sort_from(keyed.subspan(begin, end - begin), offset + 8, pool);
        begin = end;
    }
}

}  // namespace

const std::vector<Symbol>& EditorState::key_order() const {
    if (recent_.empty() && !sorted_stale_) return sorted_;
    // A radix sort of the first eight bytes. Keys often share them (a space
    // marker and a common stem), so runs of equal first words are sorted by
    // the second, kept aside from the start, and only runs equal in both
    // read their strings again.
    std::vector<Keyed> keyed, scratch(recent_.size());
    std::vector<std::uint64_t> second_words(recent_.size());
    keyed.reserve(recent_.size());
    for (Symbol sym : recent_) {
        auto [first, second] = order_prefixes(pool_.view(sym));
        second_words[keyed.size()] = second;
        keyed.push_back({first, sym, static_cast<std::uint32_t>(keyed.size())});
    }
    // Six passes of eleven bits each; one counting pass serves them all.
    constexpr int kDigitBits = 11, kDigits = (64 + kDigitBits - 1) / kDigitBits;
    constexpr std::uint64_t kDigitMask = (1u << kDigitBits) - 1;
    std::vector<std::array<std::size_t, 1u << kDigitBits>> counts(kDigits);
    for (const Keyed& k : keyed)
        for (int digit = 0; digit < kDigits; ++digit) ++counts[digit][(k.prefix >> (kDigitBits * digit)) & kDigitMask];
    for (int digit = 0; digit < kDigits && !keyed.empty(); ++digit) {
        const int shift = kDigitBits * digit;
        auto& next = counts[digit];
        if (next[(keyed[0].prefix >> shift) & kDigitMask] == keyed.size()) continue;  // every key has this digit
        std::size_t start = 0;
        for (std::size_t& count : next) start += std::exchange(count, start);
        for (const Keyed& k : keyed) scratch[next[(k.prefix >> shift) & kDigitMask]++] = k;
        keyed.swap(scratch);
    }
    auto equal_runs = [](std::span<Keyed> range, auto&& on_run) {
        for (std::size_t begin = 0; begin < range.size();) {
            std::size_t end = begin + 1;
            while (end < range.size() && range[end].prefix == range[begin].prefix) ++end;
            if (end - begin > 1) on_run(range.subspan(begin, end - begin));
            begin = end;
        }
    };
    equal_runs(keyed, [&](std::span<Keyed> run) {
        for (Keyed& k : run) k.prefix = second_words[k.index];
        std::sort(run.begin(), run.end(), [](const Keyed& a, const Keyed& b) { return a.prefix < b.prefix; });
        equal_runs(run, [&](std::span<Keyed> tie) { sort_from(tie, 16, pool_); });
    });
    auto by_text = [this](Symbol a, Symbol b) { return pool_.view(a) < pool_.view(b); };
    std::size_t middle = sorted_.size();
    sorted_.reserve(sorted_.size() + keyed.size());
    for (const Keyed& k : keyed) sorted_.push_back(k.sym);
    recent_.clear();
    recent_.shrink_to_fit();
    if (middle > 0)
        std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end(),
                           by_text);
    // Drop deleted symbols and the stale twin of a symbol deleted and inserted again.
    auto out = sorted_.begin();
    for (auto it = sorted_.begin(); it != sorted_.end(); ++it) {
        if (!in_vocab_[*it]) continue;
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
    in_vocab_[sym] = 1;
    ids_[sym] = id;
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
    in_vocab_[sym] = 0;
    --vocab_size_;
    sorted_stale_ = true;
    note_change(sym);
}

void EditorState::assign_ids(std::span<const std::pair<Symbol, std::uint32_t>> ids) {
    for (auto [sym, id] : ids) ids_[sym] = id;
    build_id_index();
    next_id_ = vocab_size_;
}

// ---- merges ----

bool EditorState::has_merge(Symbol left, Symbol right, Symbol result) const {
    ensure_merge_index();
    // Every merge (left, right) produces left+right, and a string has few producers.
    if (result == kNoSymbol || result >= heads_.size()) return false;
    for (SlotIndex s = heads_[result].head[kAsResult]; s != kNoSlot; s = links_[s].next[kAsResult])
        if (merges_[s].left == left && merges_[s].right == right) return true;
    return false;
}

void EditorState::append_merge(Symbol left, Symbol right, Symbol result) {
    ensure_merge_index();
    if (merges_.size() >= kNoSlot - 1) throw std::length_error("too many merges");
    bool was_produced = heads_[result].head[kAsResult] != kNoSlot;
    merges_.push_back({left, right});
    results_.push_back(result);
    links_.push_back({});
    ++live_merges_;
    link_slot(static_cast<SlotIndex>(merges_.size() - 1));
    if (!was_produced) note_change(result);
}

void EditorState::link_slot(SlotIndex s) {
    SlotLinks& links = links_[s];
    // Element lists have no order that matters: push at the front.
    for (int role : {kAsLeft, kAsRight}) {
        ListHeads& heads = heads_[role_symbol(s, role)];
        links.next[role] = heads.head[role];
        links.prev[role] = kNoSlot;
        if (heads.head[role] != kNoSlot) links_[heads.head[role]].prev[role] = s;
        heads.head[role] = s;
    }
    // Producers stay in list order: slots are linked in ascending order, so append at the tail.
    ListHeads& produced = heads_[results_[s]];
    links.prev[kAsResult] = produced.producer_tail;
    links.next[kAsResult] = kNoSlot;
    if (produced.producer_tail != kNoSlot) links_[produced.producer_tail].next[kAsResult] = s;
    else produced.head[kAsResult] = s;
    produced.producer_tail = s;
}

void EditorState::build_merge_index() {
    // Interning results may add symbols; the heads are sized once all exist.
    results_.resize(merges_.size(), kNoSymbol);
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
    auto flush = [&] {
        for (const Pending& item : batch) pool_.prefetch_slot(item.hash);
        for (const Pending& item : batch) pool_.prefetch_slot_view(item.hash);
        for (const Pending& item : batch) pool_.prefetch_slot_text(item.hash);
        for (const Pending& item : batch)
            results_[item.slot] = intern(std::string_view(texts).substr(item.offset, item.length), item.hash);
        batch.clear();
        texts.clear();
    };
    for (SlotIndex s = 0; s < merges_.size(); ++s) {
        if (merges_[s].left == kNoSymbol || results_[s] != kNoSymbol) continue;
        std::string_view left = pool_.view(merges_[s].left), right = pool_.view(merges_[s].right);
        if (left.empty() || right.empty()) {
            results_[s] = intern_concat(merges_[s].left, merges_[s].right);
            continue;
        }
        std::size_t offset = texts.size();
        texts.append(left).append(right);
        std::string_view text = std::string_view(texts).substr(offset);
        batch.push_back({s, offset, text.size(), pool_.hash(text)});
        if (batch.size() == kBatch) flush();
    }
    flush();
    link_all_slots();
    merge_index_ready_ = true;
}

void EditorState::link_all_slots() {
    heads_.assign(ids_.size(), ListHeads{});
    links_.assign(merges_.size(), SlotLinks{});
    for (SlotIndex s = 0; s < merges_.size(); ++s)
        if (merges_[s].left != kNoSymbol) link_slot(s);
}

void EditorState::unlink(SlotIndex s, int role) {
    SlotLinks& links = links_[s];
    ListHeads& heads = heads_[role_symbol(s, role)];
    if (links.prev[role] != kNoSlot) links_[links.prev[role]].next[role] = links.next[role];
    else heads.head[role] = links.next[role];
    if (links.next[role] != kNoSlot) links_[links.next[role]].prev[role] = links.prev[role];
    else if (role == kAsResult) heads.producer_tail = links.prev[role];
}

void EditorState::erase_merges(std::span<const SlotIndex> slots) {
    ensure_merge_index();
    for (SlotIndex s : slots) {
        if (!slot_live(s)) continue;
        for (int role : {kAsLeft, kAsRight, kAsResult}) unlink(s, role);
        merges_[s].left = kNoSymbol;
        --live_merges_;
        Symbol result = results_[s];
        if (heads_[result].head[kAsResult] == kNoSlot) note_change(result);
    }
    std::size_t dead = merges_.size() - live_merges_;
    if (dead > 4096 && dead > live_merges_) compact_slots();
}

void EditorState::compact_slots() {
    std::size_t out = 0;
    for (std::size_t s = 0; s < merges_.size(); ++s) {
        if (merges_[s].left == kNoSymbol) continue;
        merges_[out] = merges_[s];
        results_[out] = results_[s];
        ++out;
    }
    merges_.resize(out);
    results_.resize(out);
    merges_.shrink_to_fit();
    results_.shrink_to_fit();
    link_all_slots();  // no symbol's status changes, so nothing goes to the change log
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
    if (sym >= symbol_marks_.size()) symbol_marks_.resize(std::max<std::size_t>(ids_.size(), sym + 1), 0);
    if (symbol_marks_[sym] == epoch) return false;
    symbol_marks_[sym] = epoch;
    return true;
}

bool EditorState::mark_slot(SlotIndex s, std::uint32_t epoch) {
    if (s >= slot_marks_.size()) slot_marks_.resize(std::max<std::size_t>(merges_.size(), s + 1), 0);
    if (slot_marks_[s] == epoch) return false;
    slot_marks_[s] = epoch;
    return true;
}

}  // namespace vocarix
