// The weights of a model folder as the folder sees them: which tensors hold
// one row per token and how many rows, and whether the index of a sharded
// checkpoint agrees with its shards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model_folder/folder_files.hpp"
#include "weights/vocabulary_tensors.hpp"

namespace vocarix::folder {

struct FolderWeights {
    // The vocabulary-sized tensors, and their rows (none without any).
    std::vector<weights::FoundTensor> tensors;
    std::optional<std::uint64_t> rows;
    // Tensors named like vocabulary tensors whose rows are not `rows`.
    std::vector<weights::FoundTensor> mismatched;
    // Tensors of `rows` rows whose names are not recognised: left alone.
    std::vector<weights::FoundTensor> unrecognised;
    // The row count config.json states, when it states one.
    std::optional<std::uint64_t> configured_rows;
};

// Goes by the config's vocab_size; when the weights' own embedding
// disagrees with it, by the embedding's rows, with the config's value kept
// in `configured_rows` for the caller to report or repair.
FolderWeights folder_weights(const ModelFolder& folder);

// "file: tensor", for messages.
std::string tensor_label(const weights::FoundTensor& tensor);

// What model.safetensors.index.json states that its shards do not bear
// out: files it names that are missing, tensors not in the file it names,
// one line each.
std::vector<std::string> index_problems(const ModelFolder& folder);

// The bytes of every tensor in the folder's safetensors files.
std::uint64_t tensor_bytes(const ModelFolder& folder);

// The integer metadata.total_size of the index, or null.
const ConfigNode* stated_total_size(const ModelFolder& folder);

}  // namespace vocarix::folder
