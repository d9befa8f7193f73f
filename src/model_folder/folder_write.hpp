// Writing a model folder after an edit, so that no stop, however sudden,
// leaves a half-written file.
//
// Into a new folder (-o OUT_DIR): everything is written into a temporary
// folder beside OUT_DIR, which is renamed to OUT_DIR once complete; OUT_DIR
// must be absent or empty, so it holds the whole result or nothing.
//
// In place: each file is written to a temporary file beside it and renamed
// over it, the weights first, then the index and the configs, the tokenizer
// last. When more than one file changes, a note (kUnfinishedEditFile) lists
// them beforehand and records each one written; it is removed at the end.
// After a stop, every file is whole, and `check` reads the note and names
// the files that hold the edit and those that do not.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model_folder/folder_edit.hpp"
#include "model_folder/folder_files.hpp"
#include "state/editor_state.hpp"

namespace vocarix::folder {

struct FolderWriteReport {
    std::vector<std::string> rewritten;  // in the order written
    std::vector<std::string> copied;     // unchanged files copied (new folder only)
    std::vector<std::string> resized_tensors;  // "file: tensor"
    std::string written_to;
};

// Checks that `out_dir` can take a new folder: not the input folder itself,
// absent or an empty directory, in a directory that exists. FolderError
// otherwise.
void check_output_folder(const ModelFolder& folder, const std::string& out_dir);

// The files an edit rewrites, in the order they are written.
std::vector<std::string> files_changed(const ModelFolder& folder, const FolderEdit& edit);

// Writes the edited folder to `out_dir`, or in place when it is empty.
// `keep_going` is asked between pieces of work; when it says stop, the write
// ends with ReadInterrupted (a new folder is then removed; in place, the
// files written so far stay, each whole).
FolderWriteReport write_model_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                     const std::string& out_dir, const std::function<bool()>& keep_going = {});

}  // namespace vocarix::folder
