// Merge validation: finding and dropping merges whose result is no entry.
#pragma once

#include <cstdint>

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

// A merge is valid when its result (left+right) is a vocabulary entry.
ValidationResult validate_merges(const EditorState& state);

// Deletes every invalid merge; returns how many went. With none invalid,
// nothing changes at all.
std::uint64_t remove_invalid_merges(EditorState& state);

}  // namespace vocarix
