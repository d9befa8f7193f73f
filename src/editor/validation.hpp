// Merge validation and vocabulary statistics.
#pragma once

#include <cstdint>

#include "../tokenizer/editor_state.hpp"
#include "results.hpp"

namespace vocarix {

// A merge is valid when its result (left+right) is a vocabulary entry.
ValidationResult validate_merges(const EditorState& state);

// Deletes every invalid merge; returns how many went. With none invalid,
// nothing changes at all.
std::uint64_t remove_invalid_merges(EditorState& state);

TokenizerStats get_stats(const EditorState& state);

}  // namespace vocarix
