// How the rows of a vocabulary-sized tensor are rebuilt after an edit that
// moved, removed or added token ids. The model folder builds a plan from the
// edit's id map; the weights layer applies it to every tensor whose
// vocabulary axis has `old_rows` entries.
#pragma once

#include <cstdint>
#include <vector>

namespace vocarix::weights {

// Where one row of the new tensor comes from.
struct RowSource {
    enum class Kind {
        // The old row `rows[0]`, copied bit for bit.
        kCopy,
        // The mean of the old rows in `rows` (one or more), accumulated in
        // float32 and stored in the tensor's dtype: a new token starts from
        // the pieces it was made of.
        kMean,
        // The mean of every old row: a row no old row stands for.
        kMeanOfAll,
    };
    Kind kind = Kind::kCopy;
    std::vector<std::uint64_t> rows;
};

struct RowPlan {
    // Rows along the vocabulary axis of every tensor the plan applies to.
    std::uint64_t old_rows = 0;
    // One source per row of the new tensor, in new-row order.
    std::vector<RowSource> rows;
};

}  // namespace vocarix::weights
