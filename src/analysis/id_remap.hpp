// Id maps: where every id of a document went in an edit, and what each new
// token is made of in the document the edit started from. Both documents are
// read as the runtime reads them (runtime_ids.hpp) and joined by token.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/runtime_ids.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// What an id map needs of the document an edit starts from.
struct EditStart {
    RuntimeIds ids;
    // A copy of the document, to split new tokens with its model; null when
    // not kept.
    std::unique_ptr<EditorState> model;
};

EditStart record_edit_start(const EditorState& state, bool keep_model);

struct NewToken {
    std::string token;
    std::uint32_t id = 0;
    // Ids, in the starting document, of the pieces its model splits the
    // token into; empty when no model was kept.
    std::vector<std::uint32_t> from;
};

struct IdRemap {
    std::uint64_t rows_before = 0;
    std::uint64_t rows_after = 0;
    // Every id the starting document used, ascending, with its new id (none:
    // the token is gone). An id two tokens shared follows the one the
    // runtime reads it as: the added token, else the first entry in key order.
    std::vector<std::pair<std::uint32_t, std::optional<std::uint32_t>>> old_to_new;
    std::vector<NewToken> added;  // ascending by id
};

IdRemap remap_ids(const EditStart& start, const EditorState& after);
// The same, given the runtime's ids of the edited document.
IdRemap remap_ids(const EditStart& start, const RuntimeIds& now);

}  // namespace vocarix
