#include "analysis/segmentation.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace vocarix {
namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// Min-heap order on (rank, position): lowest rank first, leftmost among equals.
bool fires_later(std::uint32_t rank_a, std::uint32_t pos_a, std::uint32_t rank_b, std::uint32_t pos_b) {
    return rank_a != rank_b ? rank_a > rank_b : pos_a > pos_b;
}

}  // namespace

std::size_t Segmenter::prefix_length() const {
    return subword_prefix(state_.sections.model).size();
}

Symbol Segmenter::entry(std::string_view text) const {
    Symbol sym = state_.find_symbol(text);
    return state_.in_vocab(sym) ? sym : kNoSymbol;
}

void Segmenter::merge_result_text(Symbol left, Symbol right, std::string& out) const {
    std::string_view right_text = state_.text(right);
    out.assign(state_.text(left));
    out.append(right_text.substr(std::min(prefix_length(), right_text.size())));
}

// ---- pair index ----

void Segmenter::grow_table(std::size_t pairs) {
    std::size_t slots = std::bit_ceil(std::max<std::size_t>(16, pairs * 2));
    std::vector<PairSlot> old = std::move(table_);
    table_.assign(slots, PairSlot{kEmptyKey, 0, kNoSymbol});
    table_mask_ = slots - 1;
    table_shift_ = 64 - std::countr_zero(slots);
    for (const PairSlot& slot : old)
        if (slot.key != kEmptyKey) {
            std::size_t i = home_slot(slot.key);
            while (table_[i].key != kEmptyKey) i = (i + 1) & table_mask_;
            table_[i] = slot;
        }
}

const Segmenter::PairSlot* Segmenter::find_pair(Symbol left, Symbol right) const {
    std::uint64_t key = pair_key(left, right);
    std::size_t i = home_slot(key);
    while (true) {
        const PairSlot& slot = table_[i];
        if (slot.key == key) return &slot;
        if (slot.key == kEmptyKey) return nullptr;
        i = (i + 1) & table_mask_;
    }
}

void Segmenter::put_pair(Symbol left, Symbol right, std::uint32_t rank, Symbol result) {
    if ((pair_count_ + 1) * 10 > table_.size() * 7) grow_table(pair_count_ + 1);
    std::uint64_t key = pair_key(left, right);
    std::size_t i = home_slot(key);
    while (table_[i].key != kEmptyKey && table_[i].key != key) i = (i + 1) & table_mask_;
    if (table_[i].key == kEmptyKey) ++pair_count_;
    // A pair listed again takes its later rank.
    table_[i] = {key, rank, result};
}

bool Segmenter::index_merge(Symbol left, Symbol right, std::uint32_t rank) {
    if (!state_.in_vocab(left) || !state_.in_vocab(right)) return false;
    if (state_.text(right).size() < prefix_length()) return false;
    merge_result_text(left, right, text_);
    Symbol result = entry(text_);
    if (result == kNoSymbol) return false;
    put_pair(left, right, rank, result);
    return true;
}

void Segmenter::build() {
    table_.clear();
    pair_count_ = 0;
    unusable_ = 0;
    grow_table(state_.merge_count());
    if (prefix_length() == 0) {
        build_from_merge_results();
        return;
    }
    // Looking results up is a cache miss each: results are made a batch at a
    // time, and their table slots, views and bytes prefetched first.
    struct Pending {
        Symbol left, right;
        std::uint32_t rank;
        std::size_t offset, length;
        std::uint64_t hash;
    };
    constexpr std::size_t kBatch = 64;
    const StringPool& pool = state_.records().strings;
    std::vector<Pending> batch;
    batch.reserve(kBatch);
    std::string texts;
    auto flush = [&] {
        for (const Pending& item : batch) pool.prefetch_slot(item.hash);
        pool.prefetch_entries(batch, [](const Pending& item) { return item.hash; });
        for (const Pending& item : batch) {
            Symbol result = entry(std::string_view(texts).substr(item.offset, item.length));
            if (result == kNoSymbol) ++unusable_;
            else put_pair(item.left, item.right, item.rank, result);
        }
        batch.clear();
        texts.clear();
    };
    const std::size_t prefix_length = this->prefix_length();
    std::uint32_t rank = 0;
    state_.for_each_merge([&](SlotIndex s) {
        Merge merge = state_.merge_at(s);
        std::string_view right = state_.text(merge.right);
        if (!state_.in_vocab(merge.left) || !state_.in_vocab(merge.right) || right.size() < prefix_length) {
            ++unusable_;
        } else {
            std::size_t offset = texts.size();
            texts.append(state_.text(merge.left)).append(right.substr(prefix_length));
            std::size_t length = texts.size() - offset;
            batch.push_back({merge.left, merge.right, rank, offset, length,
                             pool.hash(std::string_view(texts).substr(offset, length))});
            if (batch.size() == kBatch) flush();
        }
        ++rank;
    });
    flush();
    next_rank_ = rank;
    ready_ = true;
}

void Segmenter::build_from_merge_results() {
    // Without a prefix the runtime's result is the plain concatenation,
    // which the state's merge lists hold for every slot already: no string
    // is built or hashed. Every edit needs those lists anyway.
    std::uint32_t rank = 0;
    state_.for_each_merge([&](SlotIndex s) {
        Merge merge = state_.merge_at(s);
        Symbol result = state_.result_of(s);
        if (state_.in_vocab(merge.left) && state_.in_vocab(merge.right) && state_.in_vocab(result))
            put_pair(merge.left, merge.right, rank, result);
        else
            ++unusable_;
        ++rank;
    });
    next_rank_ = rank;
    ready_ = true;
}

void Segmenter::merge_appended(Symbol left, Symbol right) {
    if (!ready_) return;  // the next build reads it from the state
    if (!index_merge(left, right, next_rank_)) ++unusable_;
    ++next_rank_;
}

void Segmenter::merge_removed(Symbol left, Symbol right) {
    if (!ready_) return;
    // With a prefix the state names results otherwise than the model does;
    // removals are rare enough there to start afresh.
    if (prefix_length() > 0) {
        invalidate();
        return;
    }
    std::uint64_t key = pair_key(left, right);
    std::size_t i = home_slot(key);
    while (table_[i].key != key) {
        if (table_[i].key == kEmptyKey) return;
        i = (i + 1) & table_mask_;
    }
    // Linear probing: move later members of the run back into the hole
    // unless their home lies between the hole and where they sit.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & table_mask_; table_[j].key != kEmptyKey; j = (j + 1) & table_mask_) {
        std::size_t home = home_slot(table_[j].key);
        bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        table_[hole] = table_[j];
        hole = j;
    }
    table_[hole] = PairSlot{kEmptyKey, 0, kNoSymbol};
    --pair_count_;
}

std::size_t Segmenter::unusable_merges() {
    ensure_ready();
    return unusable_;
}

// ---- segmentation ----

bool Segmenter::append_byte_tokens(std::string_view text, std::vector<Symbol>& pieces) {
    std::size_t start = pieces.size();
    for (unsigned char byte : text) {
        Symbol sym = entry(ByteTokenName(byte).view());
        if (sym == kNoSymbol) {
            pieces.resize(start);
            return false;
        }
        pieces.push_back(sym);
    }
    return true;
}

void Segmenter::initial_pieces(std::string_view word, Segmentation& out) {
    const ModelSettings& model = state_.sections.model;
    const std::string_view prefix = subword_prefix(model), suffix = word_suffix(model);
    // A document read with a null unknown token has none: unknown characters are dropped.
    const Symbol unk = state_.sections.form.unk_token_null ? kNoSymbol : entry(model.unk_token);
    // An unknown run waits until the next character that is an entry; byte
    // tokens in between go before it, as the runtime places them.
    bool unk_pending = false;
    for (std::size_t i = 0; i < word.size();) {
        std::size_t end = character_end(word, i);
        std::string_view text = word.substr(i, end - i);
        if ((i > 0 && !prefix.empty()) || (end == word.size() && !suffix.empty())) {
            text_.clear();
            if (i > 0) text_.append(prefix);
            text_.append(text);
            if (end == word.size()) text_.append(suffix);
            text = text_;
        }
        i = end;
        if (Symbol sym = entry(text); sym != kNoSymbol) {
            if (unk_pending) out.pieces.push_back(unk);
            unk_pending = false;
            out.pieces.push_back(sym);
            continue;
        }
        if (model.byte_fallback && append_byte_tokens(text, out.pieces)) {
            out.used_byte_fallback = true;
            continue;
        }
        out.met_unknown = true;
        if (unk == kNoSymbol) continue;
        if (unk_pending && !model.fuse_unk) out.pieces.push_back(unk);
        unk_pending = true;
    }
    if (unk_pending) out.pieces.push_back(unk);
}

void Segmenter::merge_all(std::vector<Symbol>& pieces) {
    const std::size_t n = pieces.size();
    if (n < 2) return;
    if (n >= kNone) throw std::length_error("word has too many pieces to segment");
    ensure_ready();
    next_.resize(n);
    prev_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        next_[i] = i + 1 < n ? static_cast<std::uint32_t>(i + 1) : kNone;
        prev_[i] = i > 0 ? static_cast<std::uint32_t>(i - 1) : kNone;
    }
    auto later = [](const Pending& a, const Pending& b) {
        return fires_later(a.rank, a.position, b.rank, b.position);
    };
    heap_.clear();
    // A word's pairs are looked up in a table of megabytes: their slots are
    // fetched together, ahead of the look-ups, rather than one miss at a time.
    auto prefetch = [&](std::uint32_t position) {
        __builtin_prefetch(&table_[home_slot(pair_key(pieces[position], pieces[next_[position]]))]);
    };
    for (std::uint32_t i = 0; i + 1 < n; ++i) prefetch(i);
    auto push = [&](std::uint32_t position) {
        const PairSlot* pair = find_pair(pieces[position], pieces[next_[position]]);
        if (!pair) return;
        heap_.push_back({pair->rank, position, pair->result});
        std::push_heap(heap_.begin(), heap_.end(), later);
    };
    for (std::uint32_t i = 0; i + 1 < n; ++i) push(i);
    // Merged-away pieces are marked with kNoSymbol.
    while (!heap_.empty()) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        Pending top = heap_.back();
        heap_.pop_back();
        std::uint32_t left = top.position;
        if (pieces[left] == kNoSymbol || next_[left] == kNone) continue;
        std::uint32_t right = next_[left];
        // An entry is out of date when the pair now there makes something else.
        const PairSlot* pair = find_pair(pieces[left], pieces[right]);
        if (!pair || pair->result != top.result) continue;
        pieces[left] = top.result;
        pieces[right] = kNoSymbol;
        if (formed_) formed_->push_back(top.result);
        next_[left] = next_[right];
        if (next_[left] != kNone) prev_[next_[left]] = left;
        if (prev_[left] != kNone) prefetch(prev_[left]);
        if (next_[left] != kNone) prefetch(left);
        if (prev_[left] != kNone) push(prev_[left]);
        if (next_[left] != kNone) push(left);
    }
    pieces.erase(std::remove(pieces.begin(), pieces.end(), kNoSymbol), pieces.end());
}

void Segmenter::segment(std::string_view word, Segmentation& out) {
    out.pieces.clear();
    out.met_unknown = false;
    out.used_byte_fallback = false;
    if (word.empty()) return;
    if (state_.sections.model.ignore_merges) {
        if (Symbol whole = entry(word); whole != kNoSymbol) {
            out.pieces.push_back(whole);
            return;
        }
    }
    initial_pieces(word, out);
    merge_all(out.pieces);
}

void Segmenter::segment(std::string_view word, Segmentation& out, std::vector<Symbol>& formed) {
    formed_ = &formed;
    try {
        out.pieces.clear();
        out.met_unknown = false;
        out.used_byte_fallback = false;
        if (!word.empty()) {
            Symbol whole = state_.sections.model.ignore_merges ? entry(word) : kNoSymbol;
            if (whole != kNoSymbol) {
                out.pieces.push_back(whole);
            } else {
                initial_pieces(word, out);
                formed.insert(formed.end(), out.pieces.begin(), out.pieces.end());
                merge_all(out.pieces);
            }
        }
        formed.insert(formed.end(), out.pieces.begin(), out.pieces.end());
    } catch (...) {
        formed_ = nullptr;
        throw;
    }
    formed_ = nullptr;
}

Segmentation Segmenter::segment(std::string_view word) {
    Segmentation out;
    segment(word, out);
    return out;
}

WordPieces Segmenter::pieces_of(std::string_view word) {
    Segmentation seg = segment(word);
    WordPieces out;
    out.met_unknown = seg.met_unknown;
    out.pieces.reserve(seg.pieces.size());
    out.ids.reserve(seg.pieces.size());
    for (Symbol sym : seg.pieces) {
        out.pieces.emplace_back(state_.text(sym));
        out.ids.push_back(state_.id_of(sym));
    }
    return out;
}

std::vector<WordPieces> Segmenter::pieces_of(std::span<const std::string> words) {
    std::vector<WordPieces> out;
    out.reserve(words.size());
    for (const std::string& word : words) out.push_back(pieces_of(word));
    return out;
}

std::vector<WordPieces> segment_words(const EditorState& state, std::span<const std::string> words) {
    Segmenter segmenter(state);
    return segmenter.pieces_of(words);
}

}  // namespace vocarix
