// The ids a tokenizer runtime gives a document's tokens, which can differ
// from the ids the document states. Vocabulary entries keep their ids. An
// added_tokens entry whose content is an entry gets that entry's id (the id
// it stores is ignored). Every other added token gets the next id counting
// up from the number of entries, in list order, whatever id it stores;
// entries with empty content, or content listed before, are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

struct RuntimeAddedToken {
    std::size_t position = 0;  // in added_tokens
    std::string content;
    std::optional<std::uint64_t> stored_id;  // none when the entry holds no whole number
    std::uint64_t runtime_id = 0;
    bool in_vocab = false;
    bool special = false;
};

// The added tokens the runtime takes, in list order, with their ids.
std::vector<RuntimeAddedToken> runtime_added_tokens(const EditorState& state);

struct RuntimeIds {
    std::uint64_t vocab_size = 0;
    // The added tokens the runtime takes, in list order.
    std::vector<RuntimeAddedToken> added;
    // added_tokens entries the runtime refuses the file for: no string
    // content, no integer id, or a flag missing (position, what is wrong).
    std::vector<std::pair<std::size_t, std::string>> malformed;
    // Every token the runtime knows, sorted by token bytes, with its id:
    // the entries and the added tokens outside the vocabulary.
    std::vector<std::pair<std::string, std::uint32_t>> tokens;
    // The embedding rows the runtime needs: the largest id it uses + 1.
    std::uint64_t rows = 0;

    std::optional<std::uint32_t> id_of(std::string_view token) const;
    std::size_t outside_vocab() const;
};

RuntimeIds runtime_ids(const EditorState& state);

// The same ids, answered from the state itself instead of a list of every
// token: for checks and repairs, which ask about a few tokens only. It reads
// the state as it is at each question, except for the added tokens, which
// are read when it is made.
class RuntimeIdLookup {
public:
    explicit RuntimeIdLookup(const EditorState& state);

    std::optional<std::uint32_t> id_of(std::string_view token) const;
    // The added tokens the runtime takes, in list order.
    const std::vector<RuntimeAddedToken>& added() const { return added_; }
    // The embedding rows the runtime needs: the largest id it uses + 1.
    std::uint64_t rows() const { return rows_; }
    // Added tokens the runtime numbers past the vocabulary.
    std::size_t outside_vocab() const;

private:
    const EditorState& state_;
    std::vector<RuntimeAddedToken> added_;
    std::vector<std::pair<std::string, std::uint32_t>> outside_;  // sorted by token
    std::uint64_t rows_ = 0;
};

}  // namespace vocarix
