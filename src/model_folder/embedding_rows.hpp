// How many rows a model's embedding has after an edit, and where each comes
// from. Models often pad their rows to a round multiple (151,936 rows for
// 151,669 ids, 1187 x 128); the rows after an edit are padded to the same
// multiple, read from the rows before it, or to the one the caller asks for.
// An edit that changes the row count records the multiple in config.json
// (kPaddingMultipleField), since the new count may happen to be divisible
// by more: the next edit pads to the recorded multiple.
#pragma once

#include <cstdint>
#include <optional>

#include "analysis/id_remap.hpp"
#include "weights/row_plan.hpp"

namespace vocarix::folder {

struct EmbeddingRows {
    std::uint64_t tokens_before = 0;  // rows the tokenizer needed (largest id + 1)
    std::uint64_t rows_before = 0;    // rows the model had
    std::uint64_t tokens_after = 0;
    std::uint64_t rows_after = 0;
    std::uint64_t multiple = 1;       // rows_after is padded to a multiple of this
};

// The largest multiple rows are padded to on request: past it, the padding
// rows (each a full row of every vocabulary tensor) cost far more than any
// alignment gains.
inline constexpr std::uint64_t kMaxPadMultiple = std::uint64_t{1} << 16;

// The multiple a row count was rounded to: the largest power of two
// dividing it, at most 256 (rows that are a multiple of 1024 were rounded
// to a sensible multiple that happens to divide them more often); 1 when
// that power is below 8, which no one would round to.
std::uint64_t padding_multiple(std::uint64_t rows);

// Where the multiple of an edit's rows comes from, unless the caller chooses one.
struct RowMultipleSource {
    std::optional<std::uint64_t> recorded;  // what an earlier edit recorded
    // Whether rows that are not padded past the tokens show a multiple too.
    // A GGUF file, which has nowhere to record one, reads it only from padding.
    bool unpadded_rows = true;
};

// Rows after the edit. Tokens that grow into the padding keep the row count;
// otherwise the rows are the tokens rounded up to the multiple: the one an
// earlier edit recorded, else the one the rows before show. An explicit
// `pad_to_multiple_of` always rounds the tokens up to it.
EmbeddingRows embedding_rows(std::uint64_t tokens_before, std::uint64_t rows_before, std::uint64_t tokens_after,
                             std::optional<std::uint64_t> pad_to_multiple_of, const RowMultipleSource& source = {});

// Where each new row comes from: a surviving token's old row (copied bit for
// bit), a new token's pieces (their mean), a padding row that stays padding
// (copied: padding rows are never predicted, and a trained model has pushed
// them down), the same row for an id no token used and none uses, or, for
// an id whose token is gone, the mean of every old row.
weights::RowPlan row_plan(const IdRemap& remap, const EmbeddingRows& rows);

// True when the plan rebuilds every row from itself.
bool keeps_every_row(const weights::RowPlan& plan);

}  // namespace vocarix::folder
