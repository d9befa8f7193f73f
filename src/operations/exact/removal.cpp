#include "operations/exact/removal.hpp"

#include <string_view>
#include <unordered_set>
#include <vector>

#include "document/document_ids.hpp"

namespace vocarix {
namespace {

struct RemovalCascade {
    std::vector<Symbol> tokens;   // in discovery order, root first
    std::vector<SlotIndex> merges;
};

// Finds what removing `root` takes along, without changing anything.
RemovalCascade reach(EditorState& state, Symbol root) {
    RemovalCascade cascade;
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

void apply(EditorState& state, const RemovalCascade& cascade, AddedTokenSweep& sweep) {
    state.erase_merges(cascade.merges);
    for (Symbol sym : cascade.tokens) {
        if (!state.in_vocab(sym)) continue;
        state.delete_entry(sym);
        sweep.note_deleted(sym);
    }
}

}  // namespace

RemovalResult remove_token(EditorState& state, std::string_view token) {
    AddedTokenSweep sweep(state);
    RemovalResult result = remove_token(state, token, sweep);
    sweep.flush();
    return result;
}

std::vector<RemovalResult> remove_tokens(EditorState& state, const std::vector<std::string>& tokens) {
    std::vector<RemovalResult> results;
    AddedTokenSweep sweep(state);
    for (const std::string& token : tokens)
        if (state.contains(token)) results.push_back(remove_token(state, token, sweep));
    sweep.flush();
    return results;
}

RemovalResult remove_token(EditorState& state, std::string_view token, AddedTokenSweep& sweep) {
    RemovalResult result;
    result.root_token = std::string(token);
    Symbol root = state.find_merge_string(token);
    if (root == kNoSymbol) {
        // Never seen anywhere: nothing uses it, produces it or holds it.
        result.removed_tokens.emplace_back(token);
        return result;
    }
    RemovalCascade cascade = reach(state, root);
    result.removed_tokens.reserve(cascade.tokens.size());
    for (Symbol sym : cascade.tokens) result.removed_tokens.emplace_back(state.text(sym));
    result.removed_merges.reserve(cascade.merges.size());
    for (SlotIndex s : cascade.merges) {
        Merge merge = state.merge_at(s);
        result.removed_merges.emplace_back(state.text(merge.left), state.text(merge.right));
    }
    apply(state, cascade, sweep);
    return result;
}

RemovalCounts remove_token_counted(EditorState& state, Symbol token, AddedTokenSweep& sweep) {
    RemovalCascade cascade = reach(state, token);
    apply(state, cascade, sweep);
    return {cascade.tokens.size(), cascade.merges.size()};
}

std::size_t AddedTokenSweep::flush() {
    if (deleted_.empty()) return 0;
    std::vector<Symbol> deleted = std::move(deleted_);
    deleted_.clear();
    const AddedTokenContents& contents = added_token_contents(state_.sections);
    std::unordered_set<Symbol> named;  // deleted entries some added token names
    for (Symbol sym : deleted)
        if (contents.contains(state_.text(sym))) named.insert(sym);
    if (named.empty()) return 0;
    // An entry added again after its removal does not bring its added token
    // back: the removal dropped it then.
    return drop_added_tokens(state_.sections,
                             [&](std::string_view content) { return named.count(state_.find_symbol(content)) != 0; });
}

AddedTokenSweep::~AddedTokenSweep() {
    // A bulk operation that fails part way keeps what it did, this included.
    try {
        flush();
    } catch (...) {
    }
}

}  // namespace vocarix
