#include "weights/vocabulary_tensors.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace vocarix::weights {
namespace {

constexpr std::array<std::string_view, 7> kEmbeddingModules{
    "embed_tokens", "wte", "word_embeddings", "embed_in", "tok_embeddings", "token_embedding", "shared"};
constexpr std::array<std::string_view, 3> kHeadModules{"lm_head", "embed_out", "generator_lm_head"};
// Masked-language heads keep their projection in a `decoder` under one of these.
constexpr std::array<std::string_view, 2> kPredictionModules{"predictions", "lm_head"};

template <std::size_t N>
bool one_of(std::string_view word, const std::array<std::string_view, N>& words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

// The last three dot-separated components of a name, innermost last; absent ones are empty.
struct NameTail {
    std::string_view last, module, parent;
};

NameTail tail_of(std::string_view name) {
    NameTail tail;
    std::string_view* slots[] = {&tail.last, &tail.module, &tail.parent};
    for (std::string_view* slot : slots) {
        std::size_t dot = name.rfind('.');
        *slot = dot == std::string_view::npos ? name : name.substr(dot + 1);
        if (dot == std::string_view::npos) break;
        name = name.substr(0, dot);
    }
    return tail;
}

// The axis a tensor of this role keeps its vocabulary on, when its rank fits the role.
std::optional<unsigned> vocabulary_axis(TensorRole role, const std::vector<std::uint64_t>& shape) {
    switch (role) {
        case TensorRole::kInputEmbedding:
        case TensorRole::kOutputHead:
            if (shape.size() == 2) return 0;
            break;
        case TensorRole::kHeadBias:
            if (shape.size() == 1) return 0;
            break;
        case TensorRole::kLogitsBias:
            if (shape.size() == 1) return 0;
            if (shape.size() == 2 && shape[0] == 1) return 1;
            break;
        case TensorRole::kUnrecognised:
            break;
    }
    return std::nullopt;
}

// The first row count a strong name of `role` states, or 0.
std::uint64_t rows_stated_by(const std::vector<WeightsFile>& files, TensorRole role) {
    for (const WeightsFile& file : files)
        for (const TensorEntry& tensor : file.header.tensors) {
            NameRole named = role_of_name(tensor.name);
            if (named.role == role && named.strong)
                if (std::optional<unsigned> axis = vocabulary_axis(role, tensor.shape)) return tensor.shape[*axis];
        }
    return 0;
}

// An unrecognised tensor of `rows` entries along axis 0 (1-D or 2-D) or axis 1 (2-D).
std::optional<unsigned> axis_by_shape(const std::vector<std::uint64_t>& shape, std::uint64_t rows) {
    if ((shape.size() == 1 || shape.size() == 2) && shape[0] == rows) return 0;
    if (shape.size() == 2 && shape[1] == rows) return 1;
    return std::nullopt;
}

}  // namespace

NameRole role_of_name(std::string_view name) {
    NameTail tail = tail_of(name);
    if (tail.last == "final_logits_bias") return {TensorRole::kLogitsBias, true};
    bool prediction_decoder = tail.module == "decoder" && one_of(tail.parent, kPredictionModules);
    if (tail.last == "weight") {
        if (one_of(tail.module, kEmbeddingModules)) return {TensorRole::kInputEmbedding, true};
        if (one_of(tail.module, kHeadModules)) return {TensorRole::kOutputHead, true};
        if (tail.module == "embeddings") return {TensorRole::kInputEmbedding, false};
        if (tail.module == "output" || tail.module == "proj_out" || prediction_decoder)
            return {TensorRole::kOutputHead, false};
    } else if (tail.last == "bias") {
        if (one_of(tail.module, kHeadModules)) return {TensorRole::kHeadBias, true};
        if (tail.module == "output" || tail.module == "predictions" || prediction_decoder)
            return {TensorRole::kHeadBias, false};
    }
    return {};
}

bool VocabularyTensorSearch::has_input_embedding() const {
    return std::any_of(edited.begin(), edited.end(),
                       [](const FoundTensor& found) { return found.role == TensorRole::kInputEmbedding; });
}

bool VocabularyTensorSearch::has_output_head() const {
    return std::any_of(edited.begin(), edited.end(),
                       [](const FoundTensor& found) { return found.role == TensorRole::kOutputHead; });
}

VocabularyTensorSearch find_vocabulary_tensors(const std::vector<WeightsFile>& files,
                                               std::optional<std::uint64_t> rows) {
    VocabularyTensorSearch search;
    if (rows) search.rows = *rows;
    else if (std::uint64_t embedding = rows_stated_by(files, TensorRole::kInputEmbedding)) search.rows = embedding;
    else search.rows = rows_stated_by(files, TensorRole::kOutputHead);
    if (!rows && search.rows == 0) return search;

    for (const WeightsFile& file : files)
        for (const TensorEntry& tensor : file.header.tensors) {
            NameRole named = role_of_name(tensor.name);
            if (named.role != TensorRole::kUnrecognised) {
                std::optional<unsigned> axis = vocabulary_axis(named.role, tensor.shape);
                std::uint64_t found_rows = axis ? tensor.shape[*axis] : 0;
                if (axis && found_rows == search.rows) {
                    search.edited.push_back({file.file, tensor.name, *axis, found_rows, named.role});
                    continue;
                }
                if (named.strong) {
                    search.mismatched.push_back({file.file, tensor.name, axis.value_or(0), found_rows, named.role});
                    continue;
                }
            }
            if (std::optional<unsigned> axis = axis_by_shape(tensor.shape, search.rows))
                search.unrecognised.push_back({file.file, tensor.name, *axis, search.rows, TensorRole::kUnrecognised});
        }
    return search;
}

}  // namespace vocarix::weights
