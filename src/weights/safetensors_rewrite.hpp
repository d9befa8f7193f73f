// Rewriting a safetensors file with its vocabulary-sized tensors re-sliced by
// a row plan, streaming: every other tensor is copied as bytes without being
// parsed, and the re-sliced ones are built a bounded buffer at a time, so a
// file is never held in memory whole.
//
// Typical use by the model folder, one call per weights file:
//
//   RowPlan plan = ...;                      // from the edit's id map
//   RewriteReport done = rewrite_safetensors(
//       "in/model.safetensors", "out/model.safetensors",
//       {{"model.embed_tokens.weight", 0}, {"lm_head.weight", 0}}, plan);
//   total_size += done.header.data_size;     // for model.safetensors.index.json
//
// The checks run before anything is created; the file is written to a
// temporary file beside the target and renamed over it when complete.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "weights/row_plan.hpp"
#include "weights/row_streaming.hpp"
#include "weights/safetensors_format.hpp"

namespace vocarix::weights {

// A tensor whose rows along `axis` are the vocabulary: axis 0 for `[V, H]`
// embeddings and heads and `[V]` biases, axis 1 for `final_logits_bias [1, V]`.
// Any axis of any shape works: a "row" is everything at one index of the axis.
struct VocabularyTensor {
    std::string name;
    unsigned axis = 0;
};

struct RewriteOptions {
    // Called between pieces of work (every 50 ms or so); returning false
    // abandons the rewrite with ReadInterrupted and leaves no file behind.
    // It must not throw.
    std::function<bool()> keep_going;
};

struct RewriteReport {
    // The written file's header: new shapes and offsets, metadata kept.
    SafetensorsHeader header;
    // Size of the written file.
    std::uint64_t bytes_written = 0;
    // The tensors rebuilt by the plan, in data order.
    std::vector<std::string> resized;
    // Tensors copied as bytes.
    std::uint64_t tensors_copied = 0;
    // Whether the header was copied byte for byte: no offset or shape changed.
    bool header_kept = false;
};

// Checks that the plan fits the file's tensors: each listed tensor exists and
// is listed once, its axis lies inside its shape and holds plan.old_rows
// entries, and its dtype can be averaged (F32, F16, BF16) when the plan has
// mean rows (a kMean row of one old row is a copy, which every dtype allows).
// Throws WeightsError naming `path` and the tensor.
void check_plan_fits(const SafetensorsHeader& header, const std::vector<VocabularyTensor>& tensors,
                     const RowPlan& plan, const std::string& path);

// The header the rewritten file gets: the listed tensors take plan.rows.size()
// entries along their axis, every tensor keeps its place in data order, and
// offsets after a resized tensor shift. Expects the checks above to pass.
SafetensorsHeader rewritten_header(const SafetensorsHeader& header, const std::vector<VocabularyTensor>& tensors,
                                   const RowPlan& plan);

// Writes the rewritten file through `target_fd` from its current position
// (an empty file): the header (the original bytes when no offset or shape
// changes), then each tensor in data order. Rows of kCopy are copied bit for
// bit; kMean rows are the float32 mean of their old rows (summed in the
// order given), rounded to the dtype to nearest even; kMeanOfAll rows the
// mean of every old row (summed in float64, since there may be hundreds of
// thousands, then rounded to float32 and to the dtype). Runs the checks
// above first (WeightsError). Failures: DocumentError naming `source_path` or
// `target_path` for system errors, WeightsError when the source changes
// under the rewrite, ReadInterrupted when keep_going says stop.
RewriteReport write_rewritten(int source_fd, const SafetensorsHeader& header, int target_fd,
                              const std::vector<VocabularyTensor>& tensors, const RowPlan& plan,
                              const RewriteOptions& options, const std::string& source_path,
                              const std::string& target_path);

// The whole rewrite from one path to another (they may be the same): reads
// and checks the source's header and the plan, then writes a temporary file
// beside `target`, flushes it to disk and renames it over `target` (a
// symbolic link there is replaced, the file it pointed to left alone). On any
// failure the target is as it was (or absent) and no temporary file remains.
// An empty `tensors` list copies the file byte for byte.
RewriteReport rewrite_safetensors(const std::string& source, const std::string& target,
                                  const std::vector<VocabularyTensor>& tensors, const RowPlan& plan,
                                  const RewriteOptions& options = {});

}  // namespace vocarix::weights
