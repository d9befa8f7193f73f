#include "learning/fixed_size_learning.hpp"

#include <unordered_map>

#include "learning/chunked_segmentation.hpp"
#include "learning/word_counting.hpp"

namespace vocarix {

CountList token_counts_for_words(const EditorState& state, const CountList& words) {
    ChunkedSegmenter segmenter(state);
    std::unordered_map<Symbol, std::uint64_t> counts;
    std::vector<Symbol> pieces;
    for (const auto& [word, count] : words) {
        if (count == 0) continue;
        pieces.clear();
        segmenter.segment(word, pieces);
        for (Symbol sym : pieces) counts[sym] = add_counts(counts[sym], count);
    }
    CountList out;
    out.reserve(counts.size());
    for (const auto& [sym, count] : counts) out.emplace_back(state.text(sym), count);
    return out;
}

FixedSizeLearnReport learn_merges_fixed_size(EditorState& state, const CountList& words, const LearnOptions& options,
                                             const ProtectionRules& protection, const CountList* usage) {
    FixedSizeLearnReport report;
    report.room.initial_vocab_size = state.vocab_size();
    report.counts_from_corpus = usage == nullptr;
    CountList corpus_usage;
    if (!usage) {
        corpus_usage = token_counts_for_words(state, words);
        usage = &corpus_usage;
    }
    UsageCounts counts(state, *usage);
    report.learned = learn_merges(state, words, options);

    ProtectedTokens protect(state, protection);
    for (const auto& [entry, id] : report.learned.entries_created) protect.add(state.find_symbol(entry));
    for (const LearnedMerge& merge : report.learned.merges) {
        protect_producers(state, protect, state.find_symbol(merge.left));
        protect_producers(state, protect, state.find_symbol(merge.right));
        protect.add(state.find_symbol(merge.result));
    }
    Segmenter segmenter(state);
    EvictionRoom room(state, counts, protect, segmenter, report.room);
    // Last created first, so that each move hands its fresh id back.
    auto& created = report.learned.entries_created;
    for (auto it = created.rbegin(); it != created.rend(); ++it) it->second = room.move_in(it->first);
    room.finish();
    report.learned.tokens_after = tokens_for_words(state, words);
    return report;
}

}  // namespace vocarix
