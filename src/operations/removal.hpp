// Removing tokens together with everything that depends on them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"
#include "operations/results.hpp"

namespace vocarix {

// Removes `token` with its cascade: every merge that uses a removed string
// (and, recursively, that merge's result), plus the first merge producing
// each removed string. Strings that are not vocabulary entries are still
// followed and reported.
RemovalResult remove_token(EditorState& state, std::string_view token);

// remove_token for each token still an entry when its turn comes: an
// earlier token's cascade may have taken it, and absent tokens are skipped.
std::vector<RemovalResult> remove_tokens(EditorState& state, const std::vector<std::string>& tokens);

// What a cascade removed, counted; for bulk operations that need no strings.
struct RemovalCounts {
    std::size_t tokens = 0;
    std::size_t merges = 0;
};
RemovalCounts remove_token_counted(EditorState& state, Symbol token);

}  // namespace vocarix
