#include "operations/exact/shrink.hpp"

#include <algorithm>

#include "document/text.hpp"
#include "operations/exact/removal.hpp"

namespace vocarix {

std::vector<ShrinkCandidate> find_shrink_candidates(const EditorState& state, std::uint64_t count,
                                                    std::uint32_t min_id) {
    struct Ranked {
        ShrinkCandidate candidate;
        std::size_t key_rank;  // position in key order, the final tie-break
    };
    std::vector<Ranked> ranked;
    const std::vector<Symbol>& keys = state.key_order();
    for (std::size_t rank = 0; rank < keys.size(); ++rank) {
        Symbol sym = keys[rank];
        std::uint32_t id = state.id_of(sym);
        if (id < min_id) continue;
        std::string_view text = state.text(sym);
        std::size_t length = char_length(text);
        if (length < 2 || is_special_token(text)) continue;
        ranked.push_back({{sym, id, length}, rank});
    }
    auto before = [](const Ranked& a, const Ranked& b) {
        if (a.candidate.char_length != b.candidate.char_length)
            return a.candidate.char_length > b.candidate.char_length;
        if (a.candidate.id != b.candidate.id) return a.candidate.id > b.candidate.id;
        return a.key_rank < b.key_rank;
    };
    // The order is total, so only the first `count` need sorting.
    std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(count, ranked.size()));
    std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(), before);
    std::vector<ShrinkCandidate> candidates;
    candidates.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) candidates.push_back(ranked[i].candidate);
    return candidates;
}

ShrinkResult shrink(EditorState& state, std::uint64_t count, std::uint32_t min_id) {
    std::vector<ShrinkCandidate> candidates = find_shrink_candidates(state, count, min_id);
    ShrinkResult result;
    result.initial_vocab_size = state.vocab_size();
    result.initial_merges_count = state.merge_count();
    AddedTokenSweep sweep(state);
    for (const ShrinkCandidate& candidate : candidates) {
        RemovalCounts removed = remove_token_counted(state, candidate.token, sweep);
        ++result.tokens_removed_count;
        result.total_tokens_removed += removed.tokens;
        result.total_merges_removed += removed.merges;
    }
    sweep.flush();
    result.final_vocab_size = state.vocab_size();
    result.final_merges_count = state.merge_count();
    return result;
}

}  // namespace vocarix
