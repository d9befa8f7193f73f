// The document's added_tokens list as the runtime reads it next to the
// vocabulary: an added token whose content is a vocabulary entry takes the
// entry's id, whatever id it stores; every other one takes the next id
// counting up from the vocabulary's entry count, in list order, each
// content once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

struct AddedTokenEntry {
    std::size_t position = 0;  // in the list
    std::string content;
    std::optional<std::uint64_t> stored_id;  // absent when the entry holds no whole number
    bool special = false;
    // How the runtime matches it in text.
    bool single_word = false, lstrip = false, rstrip = false;
    bool normalized = true;  // matched in the normalized text; absent: unless special
    std::string json;  // the whole entry as compact JSON
};

// The entries in list order. Entries without a string content are skipped.
std::vector<AddedTokenEntry> read_added_tokens(const DocumentSections& sections);

struct OutsideAddedToken {
    std::string content;
    std::optional<std::uint64_t> stored_id;
    std::uint64_t runtime_id;  // the id the runtime gives it
    bool special = false;
};

// Added tokens whose content is no vocabulary entry, each content once, in
// list order, with the id the runtime numbers it with (runtime_ids.hpp).
std::vector<OutsideAddedToken> added_tokens_outside_vocab(const EditorState& state);

}  // namespace vocarix
