#include "model_folder/embedding_rows.hpp"

#include <algorithm>

namespace vocarix::folder {
namespace {

using weights::RowSource;
using SourceKind = weights::RowSource::Kind;

constexpr std::uint64_t kLargestMultiple = 256;
constexpr std::uint64_t kSmallestMultiple = 8;

std::uint64_t round_up(std::uint64_t value, std::uint64_t multiple) {
    return multiple <= 1 ? value : (value + multiple - 1) / multiple * multiple;
}

RowSource copy_of(std::uint64_t row) { return {SourceKind::kCopy, {row}}; }

}  // namespace

std::uint64_t padding_multiple(std::uint64_t rows) {
    if (rows == 0) return 1;
    std::uint64_t multiple = 1;
    while (multiple < kLargestMultiple && rows % (multiple * 2) == 0) multiple *= 2;
    return multiple < kSmallestMultiple ? 1 : multiple;
}

EmbeddingRows embedding_rows(std::uint64_t tokens_before, std::uint64_t rows_before, std::uint64_t tokens_after,
                             std::optional<std::uint64_t> pad_to_multiple_of, const RowMultipleSource& source) {
    EmbeddingRows rows{tokens_before, rows_before, tokens_after, 0, 1};
    if (pad_to_multiple_of) {
        rows.multiple = std::max<std::uint64_t>(*pad_to_multiple_of, 1);
        rows.rows_after = round_up(tokens_after, rows.multiple);
        return rows;
    }
    if (source.recorded) rows.multiple = std::max<std::uint64_t>(*source.recorded, 1);
    else if (source.unpadded_rows || rows_before > tokens_before) rows.multiple = padding_multiple(rows_before);
    bool into_padding = tokens_after >= tokens_before && tokens_after <= rows_before;
    rows.rows_after = into_padding ? rows_before : round_up(tokens_after, rows.multiple);
    return rows;
}

weights::RowPlan row_plan(const IdRemap& remap, const EmbeddingRows& rows) {
    weights::RowPlan plan;
    plan.old_rows = rows.rows_before;
    plan.rows.assign(rows.rows_after, RowSource{SourceKind::kMeanOfAll, {}});
    // An id no token used before and none uses now keeps its row.
    std::vector<bool> held(std::min(rows.rows_before, rows.rows_after), false);
    for (const auto& [old_id, new_id] : remap.old_to_new)
        if (old_id < held.size()) held[old_id] = true;
    for (const NewToken& token : remap.added)
        if (token.id < held.size()) held[token.id] = true;
    for (std::uint64_t row = 0; row < held.size(); ++row)
        if (!held[row]) plan.rows[row] = copy_of(row);
    for (const auto& [old_id, new_id] : remap.old_to_new)
        if (new_id && *new_id < rows.rows_after && old_id < rows.rows_before) plan.rows[*new_id] = copy_of(old_id);
    for (const NewToken& token : remap.added) {
        if (token.id >= rows.rows_after) continue;
        std::vector<std::uint64_t> pieces;
        for (std::uint32_t piece : token.from)
            if (piece < rows.rows_before) pieces.push_back(piece);
        if (!pieces.empty()) plan.rows[token.id] = {SourceKind::kMean, std::move(pieces)};
    }
    // Padding past the tokens: a row that was padding stays where it was; the
    // others take the old padding rows in order, then their mean.
    std::vector<std::uint64_t> old_padding;
    for (std::uint64_t row = rows.tokens_before; row < rows.rows_before; ++row) old_padding.push_back(row);
    for (std::uint64_t row = rows.tokens_after, k = 0; row < rows.rows_after; ++row, ++k) {
        if (row >= rows.tokens_before && row < rows.rows_before) plan.rows[row] = copy_of(row);
        else if (k < old_padding.size()) plan.rows[row] = copy_of(old_padding[k]);
        else if (!old_padding.empty()) plan.rows[row] = {SourceKind::kMean, old_padding};
    }
    return plan;
}

bool keeps_every_row(const weights::RowPlan& plan) {
    if (plan.rows.size() != plan.old_rows) return false;
    for (std::uint64_t row = 0; row < plan.rows.size(); ++row) {
        const RowSource& source = plan.rows[row];
        if (source.kind != SourceKind::kCopy || source.rows.size() != 1 || source.rows[0] != row) return false;
    }
    return true;
}

}  // namespace vocarix::folder
