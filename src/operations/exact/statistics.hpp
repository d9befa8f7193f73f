// Vocabulary statistics: counts, id range and the token-length distribution.
#pragma once

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

TokenizerStats get_stats(const EditorState& state);

}  // namespace vocarix
