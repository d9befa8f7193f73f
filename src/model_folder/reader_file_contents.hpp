// The files of a model folder that readers other than the tokenizer runtime
// build their tokenizer from: the slow tokenizer's vocab.json, merges.txt and
// added_tokens.json, and the SentencePiece model tokenizer.model. Read and
// checked by their format modules when the folder is read, so that a file
// that is not what its name says stops an edit before anything is written.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/sentencepiece/model_proto.hpp"
#include "formats/slow_tokenizer/merges_text.hpp"
#include "formats/slow_tokenizer/token_ids_json.hpp"

namespace vocarix::folder {

inline constexpr std::string_view kVocabJsonFile = "vocab.json";
inline constexpr std::string_view kMergesTextFile = "merges.txt";
inline constexpr std::string_view kAddedTokensJsonFile = "added_tokens.json";
inline constexpr std::string_view kSentencePieceModelFile = "tokenizer.model";

struct ReaderFileContents {
    std::optional<std::string> vocab_text;
    std::optional<formats::TokenIdsFile> vocab;
    // Held apart, so that the merges, which view it, stay valid when the contents move.
    std::shared_ptr<const std::string> merges_text;
    std::optional<formats::MergesText> merges;
    std::optional<std::string> added_tokens_text;
    std::optional<formats::TokenIdsFile> added_tokens;
    std::optional<std::string> model_bytes;
    std::optional<formats::SentencePieceModel> model;

    bool any() const { return vocab || merges || added_tokens || model; }
};

// Reads those of the files that `present` (the folder's file names) lists.
// FormatError for a file that is not what its format says, DocumentError
// for one that cannot be read.
ReaderFileContents read_reader_files(const std::string& folder_path, const std::vector<std::string>& present);

}  // namespace vocarix::folder
