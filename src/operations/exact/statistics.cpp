#include "operations/exact/statistics.hpp"

#include <algorithm>
#include <array>
#include <map>

#include "document/text.hpp"

namespace vocarix {
namespace {

// Counts of tokens by character length. Short lengths, which nearly every
// token has, are counted in a small fixed table; longer ones in a map, so
// memory grows with the number of distinct lengths, never with the longest.
class LengthHistogram {
public:
    void add(std::uint64_t length) {
        if (length < short_counts_.size()) ++short_counts_[length];
        else ++long_counts_[length];
    }
    // (length, count) pairs in ascending length, lengths with no token left out.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> result;
        for (std::size_t length = 0; length < short_counts_.size(); ++length)
            if (short_counts_[length]) result.emplace_back(length, short_counts_[length]);
        result.insert(result.end(), long_counts_.begin(), long_counts_.end());
        return result;
    }

private:
    std::array<std::uint64_t, 256> short_counts_{};
    std::map<std::uint64_t, std::uint64_t> long_counts_;
};

}  // namespace

TokenizerStats get_stats(const EditorState& state) {
    TokenizerStats stats;
    stats.vocab_size = state.vocab_size();
    stats.merges_count = state.merge_count();
    LengthHistogram histogram;
    std::uint32_t lowest = UINT32_MAX, highest = 0;
    state.for_each_entry([&](Symbol sym) {
        std::string_view text = state.text(sym);
        std::size_t length = char_length(text);
        histogram.add(length);
        if (length == 1) ++stats.single_char_count;
        if (is_special_token(text)) ++stats.special_token_count;
        lowest = std::min(lowest, state.id_of(sym));
        highest = std::max(highest, state.id_of(sym));
    });
    stats.length_distribution = histogram.pairs();
    if (state.vocab_size() > 0) {
        stats.min_token_id = lowest;
        stats.max_token_id = highest;
    }
    return stats;
}

}  // namespace vocarix
