#include "operations/removal.hpp"

#include <vector>

namespace vocarix {
namespace {

struct Cascade {
    std::vector<Symbol> tokens;   // in discovery order, root first
    std::vector<SlotIndex> merges;
};

// Finds what removing `root` takes along, without changing anything.
Cascade reach(EditorState& state, Symbol root) {
    Cascade cascade;
    const std::uint32_t epoch = state.next_epoch();
    std::vector<Symbol> pending{root};
    while (!pending.empty()) {
        Symbol current = pending.back();
        pending.pop_back();
        if (!state.mark_symbol(current, epoch)) continue;
        cascade.tokens.push_back(current);
        state.for_each_use(current, [&](SlotIndex s) {
            if (!state.mark_slot(s, epoch)) return;
            cascade.merges.push_back(s);
            pending.push_back(state.result_of(s));
        });
        SlotIndex producer = state.first_producer(current);
        if (producer != kNoSlot && state.mark_slot(producer, epoch)) cascade.merges.push_back(producer);
    }
    return cascade;
}

void apply(EditorState& state, const Cascade& cascade) {
    state.erase_merges(cascade.merges);
    for (Symbol sym : cascade.tokens) state.delete_entry(sym);
}

}  // namespace

std::vector<RemovalResult> remove_tokens(EditorState& state, const std::vector<std::string>& tokens) {
    std::vector<RemovalResult> results;
    for (const std::string& token : tokens)
        if (state.contains(token)) results.push_back(remove_token(state, token));
    return results;
}

RemovalResult remove_token(EditorState& state, std::string_view token) {
    RemovalResult result;
    result.root_token = std::string(token);
    Symbol root = state.find_merge_string(token);
    if (root == kNoSymbol) {
        // Never seen anywhere: nothing uses it, produces it or holds it.
        result.removed_tokens.emplace_back(token);
        return result;
    }
    Cascade cascade = reach(state, root);
    result.removed_tokens.reserve(cascade.tokens.size());
    for (Symbol sym : cascade.tokens) result.removed_tokens.emplace_back(state.text(sym));
    result.removed_merges.reserve(cascade.merges.size());
    for (SlotIndex s : cascade.merges) {
        Merge merge = state.merge_at(s);
        result.removed_merges.emplace_back(state.text(merge.left), state.text(merge.right));
    }
    apply(state, cascade);
    return result;
}

RemovalCounts remove_token_counted(EditorState& state, Symbol token) {
    Cascade cascade = reach(state, token);
    apply(state, cascade);
    return {cascade.tokens.size(), cascade.merges.size()};
}

}  // namespace vocarix
