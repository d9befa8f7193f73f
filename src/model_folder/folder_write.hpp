// Writing a model folder after an edit, all or nothing, through the one
// mechanism every edit writes with (file_sets/file_set_write.hpp):
//
// In place: the files the edit changes (weights, index, configs, tokenizer,
// in that order) are each written beside the old one; one record of the
// swaps is written; the swaps follow with stop signals held; the record is
// removed. Whatever stops the write, the folder is as before, as after, or
// holds the record, from which the next command (settle_directory) finishes
// it. A file that is a link is replaced by a new file; what it linked to
// stays as it was. The folder's edit lock is held throughout, and the write
// is refused when a file changed since the folder was read.
//
// Into a new folder (-o OUT_DIR): every file, changed or copied (content,
// not links; sparse files stay sparse; subfolders too), is written into a
// partial folder beside OUT_DIR, renamed to OUT_DIR once complete; OUT_DIR
// must be absent or empty, so it holds the whole result or nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "file_sets/file_set_write.hpp"
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
// `options.keep_going` is asked between pieces of work; when it says stop,
// the write ends with ReadInterrupted and nothing changed.
FolderWriteReport write_model_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                     const std::string& out_dir, const file_sets::WriteOptions& options = {});

}  // namespace vocarix::folder
