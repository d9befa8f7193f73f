#include "weights/safetensors_rewrite.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <unordered_map>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/progress_check.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "weights/float_formats.hpp"
#include "weights/row_streaming.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::weights {
namespace {

// How a tensor splits around its vocabulary axis: `outer` slices, each of
// `rows` rows of `row_bytes` bytes.
struct Geometry {
    std::uint64_t outer = 1;
    std::uint64_t rows = 0;
    std::uint64_t row_bytes = 0;
};

Geometry geometry_of(const TensorEntry& tensor, unsigned axis) {
    Geometry geometry;
    geometry.rows = tensor.shape[axis];
    geometry.row_bytes = item_size(tensor.dtype);
    for (unsigned i = 0; i < axis; ++i) geometry.outer *= tensor.shape[i];
    for (std::size_t i = axis + 1; i < tensor.shape.size(); ++i) geometry.row_bytes *= tensor.shape[i];
    return geometry;
}

// Reads and writes rows of F32, F16 and BF16 values as float32 (rounding to nearest even).
RowCodec codec_of(Dtype dtype, std::size_t values) {
    RowCodec codec;
    codec.values = values;
    switch (dtype) {
        case Dtype::kF32:
            codec.decode = [values](const unsigned char* row, float* out) {
                for (std::size_t i = 0; i < values; ++i) out[i] = std::bit_cast<float>(load_u32(row + 4 * i));
            };
            codec.encode = [values](const float* in, unsigned char* row) {
                for (std::size_t i = 0; i < values; ++i) store_u32(row + 4 * i, std::bit_cast<std::uint32_t>(in[i]));
            };
            break;
        case Dtype::kF16:
            codec.decode = [values](const unsigned char* row, float* out) {
                for (std::size_t i = 0; i < values; ++i) out[i] = f16_to_f32(load_u16(row + 2 * i));
            };
            codec.encode = [values](const float* in, unsigned char* row) {
                for (std::size_t i = 0; i < values; ++i) store_u16(row + 2 * i, f32_to_f16(in[i]));
            };
            break;
        default:
            codec.decode = [values](const unsigned char* row, float* out) {
                for (std::size_t i = 0; i < values; ++i) out[i] = bf16_to_f32(load_u16(row + 2 * i));
            };
            codec.encode = [values](const float* in, unsigned char* row) {
                for (std::size_t i = 0; i < values; ++i) store_u16(row + 2 * i, f32_to_bf16(in[i]));
            };
            break;
    }
    return codec;
}

// Builds the rows of one re-sliced tensor, one slice of the outer axes at a time.
void rebuild_tensor(const TensorEntry& tensor, unsigned axis, const RowPlan& plan, std::uint64_t data_start,
                    const SourceReader& source, TargetWriter& target, ProgressCheck& progress) {
    Geometry geometry = geometry_of(tensor, axis);
    RowCodec codec = can_average(tensor.dtype)
                         ? codec_of(tensor.dtype, static_cast<std::size_t>(geometry.row_bytes / item_size(tensor.dtype)))
                         : RowCodec{};
    RowRebuilder rebuilder(plan, geometry.row_bytes, codec, source, target, progress);
    for (std::uint64_t slice = 0; slice < geometry.outer; ++slice)
        rebuilder.write_slice(data_start + tensor.begin + slice * geometry.rows * geometry.row_bytes);
}

std::unordered_map<std::string_view, unsigned> axes_by_name(const std::vector<VocabularyTensor>& tensors) {
    std::unordered_map<std::string_view, unsigned> axes;
    for (const VocabularyTensor& tensor : tensors) axes.emplace(tensor.name, tensor.axis);
    return axes;
}

void check_plan(const SafetensorsHeader& header, const std::vector<VocabularyTensor>& tensors, const RowPlan& plan,
                const std::string& path) {
    try {
        check_row_plan(plan);
    } catch (const WeightsError& error) {
        throw WeightsError(path + ": " + error.what());
    }
    check_plan_fits(header, tensors, plan, path);
}

}  // namespace

void check_plan_fits(const SafetensorsHeader& header, const std::vector<VocabularyTensor>& tensors,
                     const RowPlan& plan, const std::string& path) {
    const bool averages = plan_averages(plan);
    std::unordered_map<std::string_view, unsigned> seen;
    for (const VocabularyTensor& listed : tensors) {
        std::string name = path + ": tensor " + debug_quoted(listed.name);
        if (!seen.emplace(listed.name, listed.axis).second) throw WeightsError(name + " is listed twice");
        const TensorEntry* tensor = header.find(listed.name);
        if (!tensor) throw WeightsError(name + " is not in the file");
        if (listed.axis >= tensor->shape.size())
            throw WeightsError(name + " has " + std::to_string(tensor->shape.size()) + " dimensions: it has no axis " +
                               std::to_string(listed.axis));
        if (tensor->shape[listed.axis] != plan.old_rows)
            throw WeightsError(name + " has " + std::to_string(tensor->shape[listed.axis]) + " rows along axis " +
                               std::to_string(listed.axis) + ", but the row plan is for " +
                               std::to_string(plan.old_rows));
        if (item_size(tensor->dtype) == 0)
            throw WeightsError(name + " is " + std::string(dtype_name(tensor->dtype)) +
                               ", packed below a byte: its rows cannot be re-sliced");
        if (averages && !can_average(tensor->dtype))
            throw WeightsError(name + " is " + std::string(dtype_name(tensor->dtype)) +
                               ": new rows are means of old ones, which only F32, F16 and BF16 tensors can hold");
        Geometry geometry = geometry_of(*tensor, listed.axis);
        std::uint64_t new_rows = plan.rows.size();
        if (geometry.row_bytes != 0 && geometry.outer != 0 &&
            new_rows > UINT64_MAX / geometry.row_bytes / geometry.outer)
            throw WeightsError(name + " would be too large with " + std::to_string(new_rows) + " rows");
    }
}

SafetensorsHeader rewritten_header(const SafetensorsHeader& header, const std::vector<VocabularyTensor>& tensors,
                                   const RowPlan& plan) {
    auto axes = axes_by_name(tensors);
    SafetensorsHeader result = header;
    std::uint64_t offset = 0;
    for (TensorEntry& tensor : result.tensors) {
        std::uint64_t size = tensor.byte_size();
        if (auto found = axes.find(tensor.name); found != axes.end()) {
            Geometry geometry = geometry_of(tensor, found->second);
            tensor.shape[found->second] = plan.rows.size();
            size = geometry.outer * plan.rows.size() * geometry.row_bytes;
        }
        tensor.begin = offset;
        tensor.end = offset + size;
        offset = tensor.end;
    }
    result.data_size = offset;
    return result;
}

RewriteReport write_rewritten(int source_fd, const SafetensorsHeader& header, int target_fd,
                              const std::vector<VocabularyTensor>& tensors, const RowPlan& plan,
                              const RewriteOptions& options, const std::string& source_path,
                              const std::string& target_path) {
    check_plan(header, tensors, plan, source_path);
    RewriteReport report;
    report.header = rewritten_header(header, tensors, plan);
    auto axes = axes_by_name(tensors);
    ProgressCheck progress(options.keep_going);
    SourceReader source(source_fd, source_path);

    // The buffer holds a whole row.
    std::uint64_t widest_row = 0;
    for (const VocabularyTensor& listed : tensors)
        if (const TensorEntry* tensor = header.find(listed.name))
            widest_row = std::max(widest_row, geometry_of(*tensor, listed.axis).row_bytes);
    TargetWriter target(target_fd, target_path, static_cast<std::size_t>(std::max<std::uint64_t>(widest_row, kBufferSize)),
                        progress);

    report.header_kept = true;
    for (std::size_t i = 0; i < header.tensors.size(); ++i)
        if (header.tensors[i].begin != report.header.tensors[i].begin ||
            header.tensors[i].end != report.header.tensors[i].end ||
            header.tensors[i].shape != report.header.tensors[i].shape)
            report.header_kept = false;
    if (report.header_kept) {
        target.copy(source, 0, header.data_start());
    } else {
        std::string prefix = safetensors_prefix(report.header.tensors, report.header.metadata);
        report.header.header_size = prefix.size() - 8;
        target.put(reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size());
    }

    for (const TensorEntry& tensor : header.tensors) {
        auto found = axes.find(tensor.name);
        if (found == axes.end()) {
            target.copy(source, header.data_start() + tensor.begin, tensor.byte_size());
            ++report.tensors_copied;
            continue;
        }
        rebuild_tensor(tensor, found->second, plan, header.data_start(), source, target, progress);
        report.resized.push_back(tensor.name);
    }
    target.flush();
    report.bytes_written = target.total();
    return report;
}

RewriteReport rewrite_safetensors(const std::string& source, const std::string& target,
                                  const std::vector<VocabularyTensor>& tensors, const RowPlan& plan,
                                  const RewriteOptions& options) {
    if (source.find('\0') != std::string::npos) throw_system("Failed to read: ", source, EINVAL);
    if (target.empty() || target.find('\0') != std::string::npos) throw_system("Failed to write: ", target, EINVAL);
    FileDescriptor file(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw_system("Failed to read: ", source, errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw_system("Failed to read: ", source, errno);
    if (!S_ISREG(info.st_mode)) throw DocumentError("Failed to read: " + debug_quoted(source), "not a regular file");
    SafetensorsHeader header = read_safetensors_header(file.get(), static_cast<std::uint64_t>(info.st_size), source);
    check_plan(header, tensors, plan, source);

    struct stat existing {};
    bool replaces = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    std::optional<ReplacementFile> output;
    try {
        output.emplace(target, replaces ? &existing : nullptr);
    } catch (const std::system_error& error) {
        throw_system("Failed to write: ", target, error.code().value());
    }
    RewriteReport report = write_rewritten(file.get(), header, output->fd(), tensors, plan, options, source, target);
    try {
        output->commit();
    } catch (const std::system_error& error) {
        throw_system("Failed to write: ", target, error.code().value());
    }
    return report;
}

}  // namespace vocarix::weights
