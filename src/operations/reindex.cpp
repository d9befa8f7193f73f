#include "operations/reindex.hpp"

#include <algorithm>
#include <utility>
#include <vector>

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

    for (std::size_t k = first_moved; k < entries.size(); ++k) entries[k].second = static_cast<std::uint32_t>(k);
    state.assign_ids(entries);
    result.ids_remapped = entries.size() - first_moved;
    result.gaps_removed = gaps.total_gaps;
    return result;
}

}  // namespace vocarix
