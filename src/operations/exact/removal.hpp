// Removing tokens together with everything that depends on them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"
#include "operations/exact/results.hpp"

namespace vocarix {

// Drops the added_tokens entries whose content is a deleted vocabulary entry:
// the runtime would otherwise bring the token back under an id of its own.
// A run of removals shares one sweep, so the section is looked at once rather
// than once per removal; the result is the same, since nothing in between
// reads it.
class AddedTokenSweep {
public:
    explicit AddedTokenSweep(EditorState& state) : state_(state) {}
    ~AddedTokenSweep();
    AddedTokenSweep(const AddedTokenSweep&) = delete;
    AddedTokenSweep& operator=(const AddedTokenSweep&) = delete;

    void note_deleted(Symbol entry) { deleted_.push_back(entry); }
    // Drops the entries noted so far; returns how many added_tokens entries went.
    std::size_t flush();

private:
    EditorState& state_;
    std::vector<Symbol> deleted_;
};

// Removes `token` with its cascade: every merge that uses a removed string
// (and, recursively, that merge's result), plus the first merge producing
// each removed string. Strings that are not vocabulary entries are still
// followed and reported. Deleted entries lose their added_tokens entries too.
RemovalResult remove_token(EditorState& state, std::string_view token);
RemovalResult remove_token(EditorState& state, std::string_view token, AddedTokenSweep& sweep);

// Removes each token that is a vocabulary entry when its turn comes, in
// order, and returns one result per removal made.
std::vector<RemovalResult> remove_tokens(EditorState& state, const std::vector<std::string>& tokens);

// remove_token for each token still an entry when its turn comes: an
// earlier token's cascade may have taken it, and absent tokens are skipped.
std::vector<RemovalResult> remove_tokens(EditorState& state, const std::vector<std::string>& tokens);

// What a cascade removed, counted; for bulk operations that need no strings.
struct RemovalCounts {
    std::size_t tokens = 0;
    std::size_t merges = 0;
};
RemovalCounts remove_token_counted(EditorState& state, Symbol token, AddedTokenSweep& sweep);

}  // namespace vocarix
