// The tokenizer a GGUF file carries (`tokenizer.ggml.*`), as the editor's
// document and back.
//
// Two kinds of model are BPE and can be edited:
//   "gpt2"   byte-level BPE: tokens, token types and "a b" merges; the
//            pre-tokenizer is named by `tokenizer.ggml.pre` (llama-bpe,
//            qwen2, gpt-2, ...), which picks the splitting expression;
//   "llama"  SentencePiece-style BPE: tokens, scores and token types, no
//            merges; the runtime joins the adjacent pair whose joined piece
//            has the highest score. The document gets the merges that give
//            the same order: every split of every piece into two pieces,
//            ordered by the piece's score (highest first), and the splits of
//            one piece by the ids of their parts.
// The token list is dense (the index is the id). A token of type unused
// written "[PAD<id>]" fills an id no token holds (how converters fill holes
// and pad the rows): it is no entry of the document, so a reindex closes it,
// and writing the file back fills every id no entry holds the same way.
// Control tokens become special added tokens, user-defined ones non-special
// added tokens (both matched on the raw text, as the runtime does).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "formats/gguf/gguf_format.hpp"

namespace vocarix::gguf_model {

// Token types as the file stores them: the numbers of formats::PieceType.
enum TokenType : std::int32_t {
    kNormal = 1, kUnknown = 2, kControl = 3, kUserDefined = 4, kUnused = 5, kByte = 6,
};

inline constexpr char kTokensKey[] = "tokenizer.ggml.tokens";
inline constexpr char kTypesKey[] = "tokenizer.ggml.token_type";
inline constexpr char kScoresKey[] = "tokenizer.ggml.scores";
inline constexpr char kMergesKey[] = "tokenizer.ggml.merges";
inline constexpr char kModelKey[] = "tokenizer.ggml.model";
inline constexpr char kPreKey[] = "tokenizer.ggml.pre";
inline constexpr char kAddedTokensKey[] = "tokenizer.ggml.added_tokens";

struct GgufTokenizer {
    std::string model;  // "gpt2" or "llama"
    std::string pre;    // "" when the file names none
    std::vector<std::string> tokens;
    std::vector<std::int32_t> types;  // one per token (normal when the file has none)
    std::vector<float> scores;        // one per token, or empty when the file has none
    std::vector<std::string> merges;  // "a b"
    bool add_space_prefix = true;
    // Every `tokenizer.ggml.*_token_id` key with the id it names.
    std::vector<std::pair<std::string, std::uint64_t>> special_ids;

    bool is_placeholder(std::size_t id) const;
    std::optional<std::uint32_t> id_of(std::string_view token) const;
};

// The name of a placeholder for `id`.
std::string placeholder_name(std::uint64_t id);

// Reads the tokenizer keys; GgufError("<path>: ...") for a file without a
// tokenizer, a model that is not BPE, lists of different lengths, a token
// that is not UTF-8 or given twice, a special id past the tokens.
GgufTokenizer read_gguf_tokenizer(const gguf::GgufHeader& header, const std::string& path);

// The tokenizer.json text of the editor's document.
std::string tokenizer_document(const GgufTokenizer& tokenizer);

}  // namespace vocarix::gguf_model
