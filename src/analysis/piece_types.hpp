// The kind each token of a tokenizer is to readers that keep a typed piece
// list beside the merges: SentencePiece models and GGUF vocabularies (both
// number the kinds the same way). A kind a reader's own file already gives
// a token is kept; otherwise the model's unknown token is unknown, a special
// added token control (never produced from text), another added token
// user-defined (matched whole before merging, as the runtime matches added
// tokens), a byte token <0xNN> of a model with byte fallback byte, and
// every other token normal.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/runtime_ids.hpp"
#include "formats/sentencepiece/model_proto.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

using formats::PieceType;

// The kind of a token that a reader's file does not list yet.
class NewPieceKinds {
public:
    // `byte_fallback`: whether the reader's model falls back to bytes (a
    // SentencePiece model's trainer setting, a GGUF "llama" tokenizer).
    NewPieceKinds(const EditorState& state, const RuntimeIds& ids, bool byte_fallback);
    PieceType of(std::string_view token) const;

private:
    std::unordered_map<std::string_view, bool> added_special_;
    std::string_view unknown_;
    bool byte_fallback_;
};

// The kind a reader's file gives a token, if it lists it.
using KnownPieceType = std::function<std::optional<PieceType>(std::string_view token)>;

// The kind of every token, by id; `tokens_by_id[id]` is the token the
// runtime gives that id. `byte_fallback` is whether the reader's model
// falls back to bytes (a SentencePiece model's trainer setting, GGUF's
// tokenizer model).
std::vector<PieceType> piece_types(const EditorState& state, const RuntimeIds& ids,
                                   const std::vector<std::string_view>& tokens_by_id, bool byte_fallback,
                                   const KnownPieceType& known = {});

}  // namespace vocarix
