#include "operations/exact/reindex.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "document/document_ids.hpp"

namespace vocarix {

GapReport check_vocab_gaps(const EditorState& state) {
    GapReport report;
    if (state.vocab_size() == 0) return report;
    std::uint32_t lowest = UINT32_MAX, highest = 0;
    state.for_each_entry([&](Symbol sym) {
        lowest = std::min(lowest, state.id_of(sym));
        highest = std::max(highest, state.id_of(sym));
    });
    std::uint64_t span = static_cast<std::uint64_t>(highest) - lowest + 1;
    std::uint64_t n = state.vocab_size();
    std::uint64_t missing = span >= n ? span - n : 0;
    report.total_gaps = lowest + missing;
    report.has_gaps = report.total_gaps != 0;
    report.min_id = lowest;
    report.max_id = highest;
    return report;
}

namespace {

// Every id elsewhere in the document that named a renumbered entry follows
// it: the added_tokens entries with its content (whose stored id the runtime
// ignores anyway), and the post-processor's and padding's ids that held its
// old id.
void renumber_references(EditorState& state,
                         const std::unordered_map<Symbol, std::pair<std::uint32_t, std::uint32_t>>& moved) {
    if (moved.empty()) return;
    auto move_of = [&](std::string_view token) -> const std::pair<std::uint32_t, std::uint32_t>* {
        Symbol sym = state.find_symbol(token);
        auto it = sym == kNoSymbol ? moved.end() : moved.find(sym);
        return it == moved.end() ? nullptr : &it->second;
    };
    rewrite_added_token_ids(state.sections, [&](std::string_view content, std::optional<std::uint32_t>) {
        const auto* move = move_of(content);
        return move ? std::optional(move->second) : std::nullopt;
    });
    rewrite_reference_ids(state.sections, [&](std::string_view token, std::optional<std::uint32_t> stated) {
        const auto* move = move_of(token);
        return move && stated == move->first ? std::optional(move->second) : std::nullopt;
    });
}

}  // namespace

ReindexResult reindex_vocab(EditorState& state) {
    ReindexResult result;
    result.vocab_size = state.vocab_size();
    result.merges_count = state.merge_count();
    if (state.vocab_size() == 0) return result;
    GapReport gaps = check_vocab_gaps(state);
    result.old_min_id = gaps.min_id;
    result.old_max_id = gaps.max_id;
    result.new_max_id = static_cast<std::uint32_t>(state.vocab_size() - 1);

    // Entries by id; entries sharing an id keep key order between them.
    std::vector<std::pair<Symbol, std::uint32_t>> entries;
    entries.reserve(state.vocab_size());
    auto by_id = [](const auto& a, const auto& b) { return a.second < b.second; };
    if (state.has_shared_ids()) {
        for (Symbol sym : state.key_order()) entries.emplace_back(sym, state.id_of(sym));
        std::stable_sort(entries.begin(), entries.end(), by_id);
    } else {
        state.for_each_entry([&](Symbol sym) { entries.emplace_back(sym, state.id_of(sym)); });
        std::sort(entries.begin(), entries.end(), by_id);
    }
    std::size_t first_moved = 0;
    while (first_moved < entries.size() && entries[first_moved].second == first_moved) ++first_moved;
    if (first_moved == entries.size()) return result;

    // Entries whose id changes: symbol -> (old id, new id).
    std::unordered_map<Symbol, std::pair<std::uint32_t, std::uint32_t>> moved;
    for (std::size_t k = first_moved; k < entries.size(); ++k) {
        auto new_id = static_cast<std::uint32_t>(k);
        if (entries[k].second != new_id) moved.emplace(entries[k].first, std::pair{entries[k].second, new_id});
        entries[k].second = new_id;
    }
    state.assign_ids(entries);
    renumber_references(state, moved);
    result.ids_remapped = entries.size() - first_moved;
    result.gaps_removed = gaps.total_gaps;
    return result;
}

}  // namespace vocarix
