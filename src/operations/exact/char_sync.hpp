// Copying missing single-character tokens from another tokenizer, making
// room for them by removing long tokens first.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "state/editor_state.hpp"

namespace vocarix {

struct SyncReport {
    std::uint64_t initial_vocab_size = 0;
    std::uint64_t final_vocab_size = 0;
    std::uint64_t chars_in_source = 0;
    std::uint64_t chars_already_present = 0;
    std::uint64_t chars_added_count = 0;
    std::uint64_t total_tokens_removed = 0;
    std::uint64_t total_merges_removed = 0;
};

// Receives the progress report, piece by piece, as it is produced.
using ProgressSink = std::function<void(std::string_view)>;

// Writes straight to file descriptor 2, unbuffered.
void write_to_stderr(std::string_view text);

// Adds every single-character token of `source` that this vocabulary lacks,
// after removing as many shrink candidates (id >= min_id) as characters are
// missing, then renumbers the ids densely.
SyncReport sync_single_chars(EditorState& state, const EditorState& source, std::uint32_t min_id,
                             const ProgressSink& progress);

}  // namespace vocarix
