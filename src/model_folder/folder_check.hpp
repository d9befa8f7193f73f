// Every way the files of a model folder disagree with its tokenizer, as a
// loader and a generating model would meet it: decoder entries and config
// ids that name other tokens than their fields mean, special tokens that
// are no token, a vocabulary size below the ids in use, weights whose rows
// disagree with it, an index that its shards do not bear out, and files a
// stopped save left.
#pragma once

#include <string>
#include <vector>

#include "model_folder/folder_files.hpp"
#include "state/editor_state.hpp"

namespace vocarix::folder {

struct FolderProblem {
    std::string file;
    std::string field;  // empty when the problem is the whole file's
    std::string message;
    // A repair (check --fix) sets it right without a choice to make.
    bool repairable = false;
    // Worth knowing, but the folder loads and runs as it states.
    bool warning = false;
};

std::vector<FolderProblem> check_model_folder(const ModelFolder& folder, const EditorState& tokenizer);

}  // namespace vocarix::folder
