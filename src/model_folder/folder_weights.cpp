#include "model_folder/folder_weights.hpp"

#include <algorithm>

#include "model_folder/token_fields.hpp"

namespace vocarix::folder {

FolderWeights folder_weights(const ModelFolder& folder) {
    FolderWeights found;
    found.configured_rows = configured_vocab_size(folder);
    if (folder.weights.empty()) return found;
    weights::VocabularyTensorSearch search = weights::find_vocabulary_tensors(folder.weights, found.configured_rows);
    if (found.configured_rows && (search.edited.empty() || !search.mismatched.empty())) {
        // The config may be what is stale: see what the weights say by themselves.
        weights::VocabularyTensorSearch own = weights::find_vocabulary_tensors(folder.weights, std::nullopt);
        if (!own.edited.empty() && own.mismatched.empty()) search = std::move(own);
    }
    found.tensors = std::move(search.edited);
    found.mismatched = std::move(search.mismatched);
    found.unrecognised = std::move(search.unrecognised);
    if (!found.tensors.empty()) found.rows = search.rows;
    return found;
}

std::string tensor_label(const weights::FoundTensor& tensor) { return tensor.file + ": " + tensor.name; }

std::vector<std::string> index_problems(const ModelFolder& folder) {
    std::vector<std::string> problems;
    if (!folder.weight_index) return problems;
    const ConfigNode* map = folder.weight_index->root().find("weight_map");
    if (!map || !map->is_object()) {
        problems.push_back("weight_map: missing or not an object");
        return problems;
    }
    for (const ConfigNode::Member& member : map->members) {
        if (member.value.kind != ConfigNode::Kind::kString) {
            problems.push_back("weight_map: the file of " + member.key + " is not a string");
            continue;
        }
        const std::string& file = member.value.string;
        auto shard = std::find_if(folder.weights.begin(), folder.weights.end(),
                                  [&file](const weights::WeightsFile& w) { return w.file == file; });
        if (shard == folder.weights.end())
            problems.push_back("weight_map: " + member.key + " is in " + file + ", which is not in the folder");
        else if (!shard->header.find(member.key))
            problems.push_back("weight_map: " + member.key + " is not in " + file);
    }
    return problems;
}

std::uint64_t tensor_bytes(const ModelFolder& folder) {
    std::uint64_t total = 0;
    for (const weights::WeightsFile& file : folder.weights)
        for (const weights::TensorEntry& tensor : file.header.tensors) total += tensor.byte_size();
    return total;
}

const ConfigNode* stated_total_size(const ModelFolder& folder) {
    if (!folder.weight_index) return nullptr;
    const ConfigNode* metadata = folder.weight_index->root().find("metadata");
    if (!metadata || !metadata->is_object()) return nullptr;
    const ConfigNode* total = metadata->find("total_size");
    return total && total->is_integer() ? total : nullptr;
}

}  // namespace vocarix::folder
