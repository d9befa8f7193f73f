// The parts of a tokenizer.json document that the editor carries besides the
// vocabulary and the merge list (those are records of their own), and
// the form the document was written in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "document/json_value.hpp"

namespace vocarix {

struct ModelSettings {
    std::string type;
    std::optional<double> dropout;
    std::string unk_token;
    std::optional<std::string> continuing_subword_prefix;
    std::optional<std::string> end_of_word_suffix;
    bool fuse_unk = false;
    bool byte_fallback = false;
    bool ignore_merges = false;
};

// A section the editor does not interpret, kept as compact JSON text in
// output form (keys sorted, last duplicate kept, strings and numbers as the
// writer prints them): far smaller than a value tree, and written out by
// adding indentation.
struct CompactJson {
    std::string text = "null";
};

// The document's fields, in declaration order.
enum class TopField : std::uint8_t {
    kVersion, kTruncation, kPadding, kAddedTokens, kNormalizer, kPreTokenizer, kPostProcessor, kDecoder, kModel
};
inline constexpr int kTopFieldCount = 9;
inline constexpr const char* kTopFieldNames[kTopFieldCount] = {
    "version", "truncation", "padding", "added_tokens", "normalizer", "pre_tokenizer", "post_processor", "decoder",
    "model"};

// The BPE model's fields, in declaration order.
enum class ModelField : std::uint8_t {
    kType, kDropout, kUnkToken, kPrefix, kSuffix, kFuseUnk, kByteFallback, kIgnoreMerges, kVocab, kMerges
};
inline constexpr int kModelFieldCount = 10;
inline constexpr const char* kModelFieldNames[kModelFieldCount] = {
    "type", "dropout", "unk_token", "continuing_subword_prefix", "end_of_word_suffix", "fuse_unk", "byte_fallback",
    "ignore_merges", "vocab", "merges"};

enum class MergeForm : std::uint8_t {
    kPairs,        // [["a", "b"], ...]
    kStrings,      // ["a b", ...], as older runtimes wrote them
    kEmptyObject,  // {}, an empty list some tools write as an object
};

// How a document read in the lenient mode was written: what an older
// runtime or trainer left out or wrote differently. Writing restores it, so
// that an unedited document comes back as it was read. A strictly read
// document has the default form, which the writers never deviate from.
struct DocumentForm {
    bool lenient = false;
    MergeForm merges = MergeForm::kPairs;
    bool unk_token_null = false;
    // One bit per field (by its enum value) that the document does not hold.
    std::uint32_t absent_top = 0;
    std::uint32_t absent_model = 0;
    // Members the editor does not know, kept in key order as compact JSON.
    std::vector<std::pair<std::string, CompactJson>> extra_top;
    std::vector<std::pair<std::string, CompactJson>> extra_model;

    bool absent(TopField field) const { return absent_top >> static_cast<int>(field) & 1; }
    bool absent(ModelField field) const { return absent_model >> static_cast<int>(field) & 1; }
    void set_absent(TopField field) { absent_top |= 1u << static_cast<int>(field); }
    void set_absent(ModelField field) { absent_model |= 1u << static_cast<int>(field); }
    bool is_default() const {
        return merges == MergeForm::kPairs && !unk_token_null && absent_top == 0 && absent_model == 0 &&
               extra_top.empty() && extra_model.empty();
    }
};

// Optional sections hold null when absent or null: both are written as null,
// unless the form says the document left them out.
struct DocumentSections {
    std::string version;
    CompactJson truncation;
    CompactJson padding;
    CompactJson added_tokens{"[]"};
    CompactJson normalizer;
    CompactJson pre_tokenizer;
    CompactJson post_processor;
    CompactJson decoder;
    ModelSettings model;
    DocumentForm form;
};

}  // namespace vocarix
