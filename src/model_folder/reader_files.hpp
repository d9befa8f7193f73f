// The files of other readers after an edit, and whether they still agree
// with tokenizer.json. Each is regenerated from the tokenizer in the layout
// the folder's file had:
//   - vocab.json: the model's vocabulary, token -> id;
//   - merges.txt: the merges in rank order, after the file's header line;
//   - added_tokens.json: the tokens it listed that are still tokens, and
//     the added tokens outside the vocabulary, each with the runtime's id;
//   - tokenizer.model: pieces, scores and kinds that make SentencePiece
//     encode as the runtime does (analysis/sentencepiece_pieces.hpp).
// A file that cannot say what tokenizer.json says (a merge part holding a
// space, a merge order no piece scores express) is removed by an edit, so
// that no reader builds a tokenizer from it, with one line saying why.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model_folder/folder_check.hpp"
#include "model_folder/folder_files.hpp"
#include "state/editor_state.hpp"

namespace vocarix::folder {

struct ReaderFileEdit {
    std::string file;
    std::optional<std::string> content;  // none: the file is removed
    std::string why_removed;             // one line
};

// The reader files whose content changes with the tokenizer `after`, in the
// order they are written. `remove_what_cannot_follow`: a file that cannot
// say what tokenizer.json says is removed; otherwise it is left as it is
// (a repair of a folder whose tokenizer did not change).
std::vector<ReaderFileEdit> plan_reader_files(const ModelFolder& folder, const EditorState& after,
                                              bool remove_what_cannot_follow);

// Every reader file that disagrees with tokenizer.json, named with the
// first token or merge where it does.
std::vector<FolderProblem> check_reader_files(const ModelFolder& folder, const EditorState& tokenizer);

}  // namespace vocarix::folder
