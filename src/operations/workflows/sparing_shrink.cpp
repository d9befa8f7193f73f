#include "operations/workflows/sparing_shrink.hpp"

#include "operations/exact/shrink.hpp"

namespace vocarix {

SparingShrinkReport shrink_sparing(EditorState& state, std::uint64_t count, std::uint32_t min_id,
                                   const std::vector<std::string>& keep) {
    SparingShrinkReport report;
    ShrinkResult& counts = report.counts;
    counts.initial_vocab_size = state.vocab_size();
    counts.initial_merges_count = state.merge_count();
    ProtectedTokens protect(state, {keep, min_id});
    if (count > 0) {
        for (const ShrinkCandidate& candidate : find_shrink_candidates(state, UINT64_MAX, min_id)) {
            if (counts.tokens_removed_count == count) break;
            Symbol sym = candidate.token;
            if (!state.in_vocab(sym)) continue;
            std::optional<Cascade> cascade = guarded_cascade(state, sym, protect);
            if (!cascade) {
                report.spared.emplace_back(state.text(sym));
                continue;
            }
            counts.total_merges_removed += cascade->merges.size();
            counts.total_tokens_removed += remove_cascade(state, *cascade).size();
            ++counts.tokens_removed_count;
            report.removed.emplace_back(state.text(sym));
        }
    }
    counts.final_vocab_size = state.vocab_size();
    counts.final_merges_count = state.merge_count();
    return report;
}

}  // namespace vocarix
