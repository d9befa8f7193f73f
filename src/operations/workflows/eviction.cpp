#include "operations/workflows/eviction.hpp"

#include <algorithm>
#include <utility>

#include "document/text.hpp"
#include "analysis/added_tokens_view.hpp"

namespace vocarix {

std::vector<std::string> added_token_contents(const EditorState& state) {
    std::vector<std::string> contents;
    for (AddedTokenEntry& entry : read_added_tokens(state.sections)) contents.push_back(std::move(entry.content));
    return contents;
}

ProtectedTokens::ProtectedTokens(EditorState& state, const ProtectionRules& rules)
    : state_(state), min_id_(rules.min_id) {
    const ModelSettings& model = state.sections.model;
    const std::string_view suffix = word_suffix(model), prefix = subword_prefix(model);
    // The pieces the model starts a word from: a character, with the
    // continuing-subword prefix or the end-of-word suffix where the model has one.
    auto base_piece = [&](std::string_view text) {
        if (!suffix.empty() && text.size() > suffix.size() && text.ends_with(suffix)) text.remove_suffix(suffix.size());
        if (!prefix.empty() && text.size() > prefix.size() && text.starts_with(prefix)) text.remove_prefix(prefix.size());
        return char_length(text) == 1;
    };
    state.for_each_entry([&](Symbol sym) {
        std::string_view text = state.text(sym);
        if (char_length(text) == 1 || base_piece(text) || is_special_token(text)) add(sym);
    });
    if (!state.sections.form.unk_token_null) add(state.intern(model.unk_token));
    for (const std::string& content : added_token_contents(state)) add(state.intern(content));
    for (const std::string& token : rules.keep) add(state.intern(token));
}

UsageCounts::UsageCounts(EditorState& state, std::span<const std::pair<std::string, std::uint64_t>> counts)
    : given_(true) {
    for (const auto& [token, count] : counts) {
        Symbol sym = state.find_symbol(token);
        if (!state.in_vocab(sym)) {
            ++unknown_;
            continue;
        }
        if (sym >= counts_.size()) counts_.resize(static_cast<std::size_t>(sym) + 1, 0);
        counts_[sym] += count;
    }
}

std::optional<Cascade> guarded_cascade(EditorState& state, Symbol root, const ProtectedTokens& protect,
                                       std::size_t limit) {
    Cascade cascade;
    const std::uint32_t epoch = state.next_epoch();
    std::vector<Symbol> pending{root};
    while (!pending.empty()) {
        Symbol current = pending.back();
        pending.pop_back();
        if (!state.mark_symbol(current, epoch)) continue;
        if (state.in_vocab(current)) {
            if (protect.contains(current)) return std::nullopt;
            ++cascade.entries;
        }
        cascade.tokens.push_back(current);
        if (cascade.tokens.size() > limit) return std::nullopt;
        state.for_each_use(current, [&](SlotIndex s) {
            if (!state.mark_slot(s, epoch)) return;
            cascade.merges.push_back(s);
            pending.push_back(state.result_of(s));
        });
        state.for_each_producer(current, [&](SlotIndex s) {
            if (state.mark_slot(s, epoch)) cascade.merges.push_back(s);
        });
    }
    return cascade;
}

bool removes_only_itself(const EditorState& state, Symbol root) {
    bool used = false;
    state.for_each_use(root, [&](SlotIndex) { used = true; });
    return !used;
}

EvictionOrder::EvictionOrder(const EditorState& state, const UsageCounts& counts, const ProtectedTokens& protect) {
    struct Key {
        std::uint64_t count;
        std::uint64_t rarity;  // higher goes first
        Symbol sym;
    };
    const bool whole_words = state.sections.model.ignore_merges;
    std::vector<Key> keys;
    state.for_each_entry([&](Symbol sym) {
        if (protect.contains(sym)) return;
        SlotIndex built_at = state.first_producer(sym);
        std::uint64_t rarity = built_at == kNoSlot ? (whole_words ? 0 : UINT64_MAX) : std::uint64_t{built_at} + 1;
        keys.push_back({counts.of(sym), rarity, sym});
    });
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.count != b.count) return a.count < b.count;
        if (a.rarity != b.rarity) return a.rarity > b.rarity;
        return state.text(a.sym) < state.text(b.sym);
    });
    order_.reserve(keys.size());
    for (const Key& key : keys) order_.push_back(key.sym);
}

std::optional<Cascade> EvictionOrder::next(EditorState& state, const ProtectedTokens& protect) {
    while (position_ < order_.size()) {
        Symbol sym = order_[position_++];
        if (!state.in_vocab(sym) || protect.contains(sym)) continue;
        if (!removes_only_itself(state, sym)) {
            deferred_.push_back(sym);
            continue;
        }
        if (auto cascade = guarded_cascade(state, sym, protect, 1)) return cascade;
    }
    while (deferred_position_ < deferred_.size()) {
        Symbol sym = deferred_[deferred_position_++];
        if (!state.in_vocab(sym) || protect.contains(sym)) continue;
        if (auto cascade = guarded_cascade(state, sym, protect, kLargestCascade)) return cascade;
    }
    return std::nullopt;
}

std::vector<std::pair<Symbol, std::uint32_t>> remove_cascade(EditorState& state, const Cascade& cascade,
                                                             Segmenter* segmenter) {
    if (segmenter)
        for (SlotIndex s : cascade.merges)
            if (state.slot_live(s)) segmenter->merge_removed(state.merge_at(s).left, state.merge_at(s).right);
    state.erase_merges(cascade.merges);
    std::vector<std::pair<Symbol, std::uint32_t>> deleted;
    for (Symbol sym : cascade.tokens) {
        if (!state.in_vocab(sym)) continue;
        deleted.emplace_back(sym, state.id_of(sym));
        state.delete_entry(sym);
    }
    return deleted;
}

}  // namespace vocarix
