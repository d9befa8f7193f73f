#include "operations/statistics.hpp"

#include <algorithm>
#include <vector>

#include "document/text.hpp"

namespace vocarix {

TokenizerStats get_stats(const EditorState& state) {
    TokenizerStats stats;
    stats.vocab_size = state.vocab_size();
    stats.merges_count = state.merge_count();
    std::vector<std::uint64_t> histogram;
    std::uint32_t lowest = UINT32_MAX, highest = 0;
    state.for_each_entry([&](Symbol sym) {
        std::string_view text = state.text(sym);
        std::size_t length = char_length(text);
        if (length >= histogram.size()) histogram.resize(length + 1, 0);
        ++histogram[length];
        if (length == 1) ++stats.single_char_count;
        if (is_special_token(text)) ++stats.special_token_count;
        lowest = std::min(lowest, state.id_of(sym));
        highest = std::max(highest, state.id_of(sym));
    });
    for (std::size_t length = 0; length < histogram.size(); ++length)
        if (histogram[length]) stats.length_distribution.emplace_back(length, histogram[length]);
    if (state.vocab_size() > 0) {
        stats.min_token_id = lowest;
        stats.max_token_id = highest;
    }
    return stats;
}

}  // namespace vocarix
