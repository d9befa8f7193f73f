// Adding tokens: alone, or together with the merges that build them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

// Adds `token` with the merges that let BPE produce it: from its longest
// proper prefix in the vocabulary plus the rest, or else as a chain that
// joins its characters one at a time.
AdditionResult add_token(EditorState& state, std::string_view token);

// add_token for each token, in order.
std::vector<AdditionResult> add_tokens(EditorState& state, const std::vector<std::string>& tokens);

// Inserts `token` alone, without merges. False when it is already present.
bool add_token_atomic(EditorState& state, std::string_view token);

}  // namespace vocarix
