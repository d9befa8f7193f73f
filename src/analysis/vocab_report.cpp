#include "analysis/vocab_report.hpp"

#include <algorithm>

#include "document/text.hpp"

namespace vocarix {

VocabularyReport vocabulary_report(const EditorState& state, std::size_t range_limit) {
    VocabularyReport report;
    report.style = detect_token_style(state);

    std::vector<std::uint32_t> ids;
    ids.reserve(state.vocab_size());
    state.for_each_entry([&](Symbol sym) {
        ids.push_back(state.id_of(sym));
        std::string_view text = state.text(sym);
        if (is_byte_token(text)) ++report.byte_tokens;
        else if (is_special_token(text)) ++report.special_tokens_besides_bytes;
    });
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    // Walk the held ids in order; every hole before one is a range.
    std::uint64_t expected = 0;
    for (std::uint32_t id : ids) {
        if (id > expected) {
            if (report.gap_ranges.size() < range_limit)
                report.gap_ranges.push_back({static_cast<std::uint32_t>(expected), id - 1});
            ++report.gap_range_count;
            report.missing_ids += id - expected;
        }
        expected = std::uint64_t{id} + 1;
    }

    for (const AddedTokenEntry& entry : read_added_tokens(state.sections)) {
        ++report.added_tokens;
        report.added_tokens_special += entry.special;
    }
    report.added_outside_vocab = added_tokens_outside_vocab(state);
    std::uint64_t rows = ids.empty() ? 0 : std::uint64_t{ids.back()} + 1;
    if (!report.added_outside_vocab.empty())
        rows = std::max(rows, report.added_outside_vocab.back().runtime_id + 1);
    report.runtime_rows = rows;
    return report;
}

}  // namespace vocarix
