// What `stats` reports beyond the counts of get_stats: where the id gaps
// lie, the byte tokens, the added tokens the vocabulary lacks, the token
// style, and how many embedding rows the runtime indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/added_tokens_view.hpp"
#include "analysis/token_style.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct IdRange {
    std::uint32_t first;
    std::uint32_t last;  // inclusive
};

struct VocabularyReport {
    StyleReport style;
    // Runs of ids below the largest one that no entry holds, ascending; only
    // the first `range_limit` are listed, all are counted.
    std::vector<IdRange> gap_ranges;
    std::uint64_t gap_range_count = 0;
    std::uint64_t missing_ids = 0;
    std::uint64_t byte_tokens = 0;  // entries <0x00> .. <0xFF>
    // Entries that look special (<...> or [...]) and are no byte token.
    std::uint64_t special_tokens_besides_bytes = 0;
    // The document's added_tokens entries, and how many of them are marked
    // "special": what the runtime treats as special tokens.
    std::uint64_t added_tokens = 0;
    std::uint64_t added_tokens_special = 0;
    std::vector<OutsideAddedToken> added_outside_vocab;
    // Largest id the runtime gives any token (entries and added tokens) + 1;
    // 0 when it knows no token.
    std::uint64_t runtime_rows = 0;
};

VocabularyReport vocabulary_report(const EditorState& state, std::size_t range_limit);

}  // namespace vocarix
