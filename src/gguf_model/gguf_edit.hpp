// A GGUF model file edited through its tokenizer: opening one (a single file
// or the shards of a split one, `NAME-00001-of-0000N.gguf`, as one model),
// working out what an edit changes (the tokenizer keys, the architecture's
// vocab_size, the rows of token_embd.weight and output.weight) before
// anything is written, and writing it.
//
// The token list is dense: after an edit it has one entry per row, the
// editor's token at each id and a placeholder (type unused, "[PAD<id>]")
// at an id no token holds, whose row is kept. Rows follow the edit's id map
// as for model folders (model_folder/embedding_rows.hpp): surviving rows
// are copied as bytes in any type, a new token's row is the mean of its
// pieces' rows, padding past the tokens stays padding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/id_remap.hpp"
#include "file_sets/file_set_write.hpp"
#include "formats/gguf/gguf_format.hpp"
#include "gguf_model/gguf_tokenizer.hpp"
#include "model_folder/embedding_rows.hpp"
#include "state/editor_state.hpp"
#include "weights/row_plan.hpp"

namespace vocarix::gguf_model {

inline constexpr char kEmbeddingTensor[] = "token_embd.weight";
inline constexpr char kOutputTensor[] = "output.weight";

// What a file was when it was read: a write refuses a source that changed
// since, whose bytes no longer stand where its header said.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct GgufModel {
    std::string path;                 // as given (the first shard of a split model)
    std::vector<std::string> files;   // every file of the model, in shard order
    std::vector<gguf::GgufHeader> headers;
    std::vector<FileIdentity> identities;  // of `files`, when they were read
    GgufTokenizer tokenizer;          // from the first file
    // The shard index and name of every tensor with one row per token.
    std::vector<std::pair<std::size_t, std::string>> vocabulary_tensors;
    // Rows of those tensors: the token count when the file has none.
    std::uint64_t rows = 0;
};

// Opens the file (and its other shards); GgufError for a file that lies, is
// not GGUF, carries no editable tokenizer, or whose shards disagree.
GgufModel read_gguf_model(const std::string& path);

// The paths a model written to `target` takes: `target` itself for one file;
// for N shards `PREFIX-0000k-of-0000N.gguf`, PREFIX being `target` less its
// shard suffix or its ".gguf".
std::vector<std::string> output_paths(const GgufModel& model, const std::string& target);

struct KeyChange {
    std::string key;
    std::string before;  // short text: a value, or a count of entries
    std::string after;   // "" for a key dropped
};

struct GgufEdit {
    folder::EmbeddingRows rows;
    weights::RowPlan plan;
    std::vector<gguf::KeyValue> metadata;  // the first file's, in order
    std::vector<KeyChange> changes;
    // Special ids whose token the edit removed: "<key> (<token>)".
    std::vector<std::string> removed_special;
    std::vector<std::string> resized;  // tensors whose rows change
    std::size_t placeholders = 0;      // ids filled by placeholders
    // Without an id map: tokens whose id held another token in the file's
    // list, and whose row, kept where it was, is that token's.
    std::size_t rows_of_other_tokens = 0;
};

// What writing the model after an edit changes. Where every id went comes
// from the edit's `start`, else from an id map given as it is (`remap`);
// with neither, the rows stay as they are and the tokenizer must fit them.
// GgufError when the rows cannot follow, ids are shared, a merge cannot be
// written, or (unless `force`) a special id's token was removed.
GgufEdit plan_gguf_edit(const GgufModel& model, const EditStart* start, std::optional<IdRemap> remap,
                        const EditorState& after, bool force);

// Writes every file of the model to `output_paths(model, target)` (the input
// paths for an edit in place, when `target` is empty) as one set of files,
// all or nothing (file_sets/file_set_write.hpp). GgufError, with nothing
// written, when a file of the model changed since it was read.
std::vector<std::string> write_gguf_model(const GgufModel& model, const GgufEdit& edit, const std::string& target,
                                          const file_sets::WriteOptions& options = {});

// The tokenizer keys after the edit (tokenizer_keys.cpp), given the
// runtime's ids of the edited tokenizer and, when known, the id map.
std::vector<gguf::KeyValue> edited_metadata(const GgufModel& model, const EditorState& after, const RuntimeIds& now,
                                            const IdRemap* remap, bool force, GgufEdit& edit);

}  // namespace vocarix::gguf_model
