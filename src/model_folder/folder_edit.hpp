// What an edit of the tokenizer changes in the rest of its model folder,
// worked out in full before anything is written: every config value that
// names a token id follows its token through the edit's id map, the
// vocabulary size becomes the new row count, and every vocabulary-sized
// tensor gets a row plan. Every check that could stop the write runs here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/id_remap.hpp"
#include "model_folder/embedding_rows.hpp"
#include "model_folder/folder_files.hpp"
#include "model_folder/reader_files.hpp"
#include "state/editor_state.hpp"
#include "weights/row_plan.hpp"
#include "weights/safetensors_rewrite.hpp"

namespace vocarix::folder {

struct FolderEditOptions {
    std::optional<std::uint64_t> pad_to_multiple_of;
    // Also set what already disagreed with the tokenizer to what it says,
    // where that is sound (check --fix).
    bool repair = false;
};

// One value a config file changes, as JSON text on one line ("" for a value dropped).
struct FieldChange {
    std::string file;
    std::string field;
    std::string before;
    std::string after;
};

// A token the edit removed although a config names it.
struct RemovedSpecialToken {
    std::string file;
    std::string field;
    std::string token;
};

struct WeightsFileEdit {
    std::string file;
    // The tensors the plan re-slices; none: the file is copied as it is.
    std::vector<weights::VocabularyTensor> tensors;
};

struct FolderEdit {
    EmbeddingRows rows;
    weights::RowPlan plan;
    // False when the plan keeps every row: no weights file is rewritten.
    bool weights_change = false;
    std::vector<WeightsFileEdit> weights;
    // Each config whose text changes, with its new text.
    std::vector<std::pair<const ConfigText*, std::string>> configs;
    std::vector<FieldChange> changes;
    std::vector<RemovedSpecialToken> removed_special_tokens;
    // The files of other readers that follow the edit, or are removed.
    std::vector<ReaderFileEdit> reader_files;
    // Things the edit leaves as they are that the user should know of.
    std::vector<std::string> notes;
    bool tokenizer_changed = false;
};

// A fingerprint of the tokenizer as it would be written: equal before and
// after an edit when the edit changed nothing in it.
std::size_t tokenizer_fingerprint(const EditorState& state);

// Throws FolderError (or WeightsError) when the folder cannot follow the
// edit: weights whose rows disagree with vocab_size or with the tokenizer,
// weights in a format that cannot be rewritten, an index naming missing
// files or tensors.
FolderEdit plan_folder_edit(const ModelFolder& folder, const EditStart& start, const EditorState& after,
                            bool tokenizer_changed, const FolderEditOptions& options);

}  // namespace vocarix::folder
