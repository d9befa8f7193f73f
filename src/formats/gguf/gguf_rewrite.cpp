#include "formats/gguf/gguf_rewrite.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "formats/gguf/block_codecs.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "formats/gguf/tensor_types.hpp"
#include "weights/row_streaming.hpp"

namespace vocarix::gguf {
namespace {

using weights::RowCodec;
using weights::SourceReader;
using weights::TargetWriter;

bool is_listed(const GgufRewrite& rewrite, std::string_view name) {
    return std::find(rewrite.resliced.begin(), rewrite.resliced.end(), name) != rewrite.resliced.end();
}

RowCodec block_codec(std::uint32_t type, std::size_t values) {
    RowCodec codec;
    codec.values = values;
    codec.decode = [type, values](const unsigned char* row, float* out) { decode_row(type, row, values, out); };
    codec.encode = [type, values](const float* in, unsigned char* row) { encode_row(type, in, values, row); };
    return codec;
}

// Tensor indexes in the order of their data.
std::vector<std::size_t> data_order(const std::vector<TensorInfo>& tensors) {
    std::vector<std::size_t> order(tensors.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return tensors[a].offset < tensors[b].offset; });
    return order;
}

}  // namespace

void check_rewrite(const GgufHeader& header, const GgufRewrite& rewrite, const std::string& path) {
    const bool computes = weights::plan_averages(rewrite.plan);
    std::unordered_set<std::string_view> seen;
    for (const std::string& name : rewrite.resliced) {
        std::string label = path + ": tensor " + debug_quoted(name);
        if (!seen.insert(name).second) throw GgufError(label + " is listed twice");
        const TensorInfo* tensor = header.tensor(name);
        if (!tensor) throw GgufError(label + " is not in the file");
        if (tensor->dims.size() != 2)
            throw GgufError(label + " has " + std::to_string(tensor->dims.size()) + " dimensions; a tensor of one row per "
                            "token has two");
        if (tensor->dims[1] != rewrite.plan.old_rows)
            throw GgufError(label + " has " + std::to_string(tensor->dims[1]) + " rows, but the tokenizer's rows are " +
                            std::to_string(rewrite.plan.old_rows));
        if (computes && !has_codec(tensor->type))
            throw GgufError(label + " is " + tensor_type_name(tensor->type) +
                            ": new rows cannot be written in that type (F32, F16, BF16, Q8_0, Q4_0, Q4_K, Q5_K and "
                            "Q6_K can)");
    }
}

RewrittenLayout rewritten_layout(const GgufHeader& header, const GgufRewrite& rewrite) {
    RewrittenLayout layout;
    layout.tensors = header.tensors;
    for (TensorInfo& tensor : layout.tensors) {
        if (!is_listed(rewrite, tensor.name)) continue;
        tensor.dims[1] = rewrite.plan.rows.size();
        tensor.byte_size = tensor_bytes(tensor.type, tensor.dims);
    }
    std::uint64_t offset = 0;
    for (std::size_t index : data_order(header.tensors)) {
        layout.tensors[index].offset = offset;
        offset = (offset + layout.tensors[index].byte_size + header.alignment - 1) / header.alignment * header.alignment;
    }
    layout.prefix = gguf_prefix(header.version, rewrite.metadata, layout.tensors, header.alignment);
    layout.file_size = layout.prefix.size() + offset;
    return layout;
}

std::uint64_t write_rewritten_gguf(int source_fd, const GgufHeader& header, int target_fd, const GgufRewrite& rewrite,
                                   const std::function<bool()>& keep_going, const std::string& source_path,
                                   const std::string& target_path) {
    try {
        weights::check_row_plan(rewrite.plan);
    } catch (const std::exception& error) {
        throw GgufError(source_path + ": " + error.what());
    }
    check_rewrite(header, rewrite, source_path);
    RewrittenLayout layout = rewritten_layout(header, rewrite);
    ProgressCheck progress(keep_going);
    SourceReader source(source_fd, source_path);
    std::uint64_t widest_row = 0;
    for (const std::string& name : rewrite.resliced) widest_row = std::max(widest_row, header.tensor(name)->row_bytes());
    TargetWriter target(target_fd, target_path, static_cast<std::size_t>(std::max(widest_row, weights::kBufferSize)),
                        progress);
    target.put(reinterpret_cast<const unsigned char*>(layout.prefix.data()), layout.prefix.size());
    for (std::size_t index : data_order(header.tensors)) {
        const TensorInfo& tensor = header.tensors[index];
        const TensorInfo& written = layout.tensors[index];
        target.zeros(static_cast<std::size_t>(layout.prefix.size() + written.offset - target.total()));
        std::uint64_t begin = header.data_start + tensor.offset;
        if (!is_listed(rewrite, tensor.name)) {
            target.copy(source, begin, tensor.byte_size);
            continue;
        }
        RowCodec codec = has_codec(tensor.type) ? block_codec(tensor.type, static_cast<std::size_t>(tensor.dims[0]))
                                                : RowCodec{};
        weights::RowRebuilder(rewrite.plan, tensor.row_bytes(), codec, source, target, progress).write_slice(begin);
    }
    target.zeros(static_cast<std::size_t>(layout.file_size - target.total()));
    target.flush();
    return target.total();
}

std::uint64_t rewrite_gguf(const std::string& source, const std::string& target, const GgufRewrite& rewrite,
                           const std::function<bool()>& keep_going) {
    FileDescriptor file(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) weights::throw_system("Failed to read: ", source, errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) weights::throw_system("Failed to read: ", source, errno);
    GgufHeader header = read_gguf_header(file.get(), static_cast<std::uint64_t>(info.st_size), source);
    struct stat existing {};
    bool replaces = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    std::optional<ReplacementFile> output;
    try {
        output.emplace(target, replaces ? &existing : nullptr);
    } catch (const std::system_error& error) {
        weights::throw_system("Failed to write: ", target, error.code().value());
    }
    std::uint64_t written = write_rewritten_gguf(file.get(), header, output->fd(), rewrite, keep_going, source, target);
    try {
        output->commit();
    } catch (const std::system_error& error) {
        weights::throw_system("Failed to write: ", target, error.code().value());
    }
    return written;
}

}  // namespace vocarix::gguf
