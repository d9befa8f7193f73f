// Rewriting a GGUF file with new metadata and its vocabulary tensors
// re-sliced by a row plan, streaming: every other tensor is copied as bytes,
// rows that survive are copied as bytes whatever their type, and only new
// rows are computed (decoded to float32, averaged, encoded back in the
// tensor's own type). The file is never held in memory whole.
//
//   GgufRewrite rewrite{new_metadata, {"token_embd.weight", "output.weight"}, plan};
//   rewrite_gguf("in.gguf", "out.gguf", rewrite);
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "formats/gguf/gguf_format.hpp"
#include "weights/row_plan.hpp"

namespace vocarix::gguf {

// What a rewrite changes. It refers to the metadata and the plan (megabytes
// each for a large vocabulary), which outlive it.
struct GgufRewrite {
    // The new file's metadata, in order (general.alignment kept as it was).
    const std::vector<KeyValue>& metadata;
    // Tensors with one row per token (dims [row length, rows]) that follow the plan.
    std::vector<std::string> resliced;
    const weights::RowPlan& plan;
};

// Throws GgufError naming `path` and the tensor when a listed tensor is
// missing, listed twice, not two-dimensional, has other rows than the plan,
// or is of a type whose new rows cannot be computed (the type is named).
void check_rewrite(const GgufHeader& header, const GgufRewrite& rewrite, const std::string& path);

// The layout of the rewritten file: its tensor infos (the listed tensors with
// the plan's rows, offsets laid out again in the order of the data), the
// bytes before the data (the new metadata and those infos) and its size.
struct RewrittenLayout {
    std::vector<TensorInfo> tensors;
    std::string prefix;
    std::uint64_t file_size = 0;
};
RewrittenLayout rewritten_layout(const GgufHeader& header, const GgufRewrite& rewrite);

// Writes the rewritten file through `target_fd` (an empty file). Runs the
// checks first. `keep_going` is asked now and then; false stops the write
// with ReadInterrupted.
std::uint64_t write_rewritten_gguf(int source_fd, const GgufHeader& header, int target_fd, const GgufRewrite& rewrite,
                                   const std::function<bool()>& keep_going, const std::string& source_path,
                                   const std::string& target_path);

// The whole rewrite from one path to another (they may be the same): a
// temporary file beside `target`, flushed to disk and renamed over it when
// complete. On failure the target is as it was and no temporary file remains.
std::uint64_t rewrite_gguf(const std::string& source, const std::string& target, const GgufRewrite& rewrite,
                           const std::function<bool()>& keep_going = {});

}  // namespace vocarix::gguf
