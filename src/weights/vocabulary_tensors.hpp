// Which tensors of a model's weights have one row per token: the input
// embedding, the output head and vocabulary-sized biases, found by name and
// checked by shape.
//
// A name is recognised by its last components, so that any prefix works
// (`model.`, `transformer.`, `model.language_model.`, `language_model.model.`):
//   embeddings  embed_tokens.weight, wte.weight, word_embeddings.weight,
//               embed_in.weight, tok_embeddings.weight, token_embedding.weight,
//               shared.weight                                  [V, H], axis 0
//   heads       lm_head.weight, embed_out.weight,
//               generator_lm_head.weight                       [V, H], axis 0
//   biases      lm_head.bias, embed_out.bias,
//               generator_lm_head.bias                         [V],    axis 0
//               final_logits_bias                      [1, V] or [V], last axis
// These names are strong: when their rows are not the vocabulary's, that is a
// mismatch the caller reports. Weaker names, which other models use for other
// things, count only when their shape fits: embeddings.weight, output.weight,
// output.bias, proj_out.weight, and the masked-language heads
// (predictions.decoder.weight, predictions.bias, predictions.decoder.bias,
// lm_head.decoder.weight, lm_head.decoder.bias).
//
// Whether a model ties its head to its embedding changes nothing here: every
// stored vocabulary tensor is re-sliced, and a tied model simply stores one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "weights/safetensors_format.hpp"

namespace vocarix::weights {

// A weights file as the folder names it (e.g. "model-00001-of-00002.safetensors"), with its header.
struct WeightsFile {
    std::string file;
    SafetensorsHeader header;
};

enum class TensorRole { kInputEmbedding, kOutputHead, kHeadBias, kLogitsBias, kUnrecognised };

struct FoundTensor {
    std::string file;
    std::string name;
    unsigned axis = 0;
    std::uint64_t rows = 0;  // entries along `axis`
    TensorRole role = TensorRole::kUnrecognised;
};

struct VocabularyTensorSearch {
    // The vocabulary's row count the search went by: the one given, or else
    // the rows of the first input embedding (then the first head) found by a
    // strong name; 0 when neither was given nor found.
    std::uint64_t rows = 0;
    // Recognised tensors with `rows` rows: the ones to re-slice, in file order
    // then data order.
    std::vector<FoundTensor> edited;
    // Tensors with `rows` entries on axis 0 (1-D or 2-D) or on axis 1 (2-D)
    // whose names are not recognised: reported, never edited.
    std::vector<FoundTensor> unrecognised;
    // Tensors with a strong name whose rows are not `rows`.
    std::vector<FoundTensor> mismatched;

    bool has_input_embedding() const;
    bool has_output_head() const;
};

// Searches every file's header. `rows` is the embedding's row count as the
// config states it (vocab_size), when it does.
VocabularyTensorSearch find_vocabulary_tensors(const std::vector<WeightsFile>& files,
                                               std::optional<std::uint64_t> rows);

// The role a tensor's name gives it, by the rules above, and whether the name
// is strong; kUnrecognised when the name is not a vocabulary tensor's.
struct NameRole {
    TensorRole role = TensorRole::kUnrecognised;
    bool strong = false;
};
NameRole role_of_name(std::string_view name);

}  // namespace vocarix::weights
