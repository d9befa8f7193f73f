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
#include "weights/weights_error.hpp"

namespace vocarix::weights {
namespace {

// Rows are gathered in a buffer of this size before each write; unchanged
// tensors are copied in pieces of the copy size, so progress is checked
// between them.
constexpr std::size_t kBufferSize = std::size_t{8} << 20;
constexpr std::uint64_t kCopyPiece = std::uint64_t{16} << 20;
// Runs of rows this long skip the buffer: the kernel copies them.
constexpr std::uint64_t kDirectCopySize = std::uint64_t{256} << 10;
// The buffer of a small file.
constexpr std::uint64_t kSmallBuffer = std::uint64_t{1} << 20;
// Shorter runs go through the buffer, which always has room for them.
static_assert(kDirectCopySize <= kSmallBuffer && kSmallBuffer <= kBufferSize);

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

// A kMean of one old row is that row: copied, so that it stays bit for bit
// (NaN payloads included) and works for every dtype.
bool is_copy(const RowSource& source) {
    return source.kind == RowSource::Kind::kCopy || (source.kind == RowSource::Kind::kMean && source.rows.size() == 1);
}

bool plan_averages(const RowPlan& plan) {
    return std::any_of(plan.rows.begin(), plan.rows.end(), [](const RowSource& source) { return !is_copy(source); });
}

bool plan_averages_all(const RowPlan& plan) {
    return std::any_of(plan.rows.begin(), plan.rows.end(),
                       [](const RowSource& source) { return source.kind == RowSource::Kind::kMeanOfAll; });
}

[[noreturn]] void throw_system(const std::string& what, const std::string& path, int error) {
    throw DocumentError(what + debug_quoted(path), std::strerror(error));
}

// Reads exact ranges of the source file; an early end means the file changed.
class SourceReader {
public:
    SourceReader(int fd, const std::string& path) : fd_(fd), path_(path) {}

    void read(std::uint64_t offset, unsigned char* out, std::uint64_t size) const {
        while (size > 0) {
            ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw_system("Failed to read: ", path_, errno);
            }
            if (n == 0) ended_early();
            out += n;
            size -= static_cast<std::uint64_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
    }
    [[noreturn]] void ended_early() const {
        throw WeightsError(path_ + ": the file ended early: it changed while it was being rewritten");
    }
    int fd() const { return fd_; }

private:
    int fd_;
    const std::string& path_;
};

// The target file, written through a buffer; unchanged ranges bypass it.
class TargetWriter {
public:
    TargetWriter(int fd, const std::string& path, std::size_t capacity, ProgressCheck& progress)
        : fd_(fd), path_(path), buffer_(capacity), progress_(progress) {}

    // Room for `n` bytes (at most the capacity) written through the pointer, then added().
    unsigned char* claim(std::size_t n) {
        if (used_ + n > buffer_.size()) flush();
        return buffer_.data() + used_;
    }
    void added(std::size_t n) { used_ += n; }

    void put(const unsigned char* bytes, std::size_t n) {
        if (n == 0) return;  // a row of no values: `bytes` may be null
        if (n > buffer_.size()) {
            flush();
            write_all(bytes, n);
            return;
        }
        std::memcpy(claim(n), bytes, n);
        added(n);
    }

    void flush() {
        write_all(buffer_.data(), used_);
        used_ = 0;
    }

    // Copies `size` bytes of the source at `offset`, in the kernel where it can.
    void copy(const SourceReader& source, std::uint64_t offset, std::uint64_t size) {
        flush();
        while (size > 0) {
            std::uint64_t piece = std::min(size, kCopyPiece);
            std::uint64_t done = kernel_copy_ ? copy_in_kernel(source, offset, piece) : 0;
            if (done == 0) done = copy_through_buffer(source, offset, piece);
            offset += done;
            size -= done;
            progress_.check_now_and_then();
        }
    }

    std::uint64_t total() const { return total_ + used_; }

private:
    void write_all(const unsigned char* data, std::size_t size) {
        for (std::size_t left = size; left > 0;) {
            ssize_t n = ::write(fd_, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw_system("Failed to write: ", path_, errno);
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        written(size);
    }

    // Bytes copied by copy_file_range, or 0 when the kernel cannot copy
    // between these files (it then is not asked again).
    std::uint64_t copy_in_kernel(const SourceReader& source, std::uint64_t offset, std::uint64_t size) {
#if !defined(__linux__)
        kernel_copy_ = false;
        return 0;
#else
        loff_t from = static_cast<loff_t>(offset);
        std::uint64_t done = 0;
        while (done < size) {
            ssize_t n = ::copy_file_range(source.fd(), &from, fd_, nullptr, size - done, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                                  errno == EBADF || errno == EPERM || errno == ETXTBSY)) {
                    kernel_copy_ = false;
                    return 0;
                }
                throw_system("Failed to write: ", path_, errno);
            }
            if (n == 0) source.ended_early();
            done += static_cast<std::uint64_t>(n);
        }
        written(done);
        return done;
#endif
    }

    std::uint64_t copy_through_buffer(const SourceReader& source, std::uint64_t offset, std::uint64_t size) {
        std::uint64_t done = 0;
        while (done < size) {
            std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer_.size()));
            source.read(offset + done, claim(piece), piece);
            added(piece);
            flush();
            done += piece;
        }
        return done;
    }

    // Starts writing what was just written to disk, so the flush at the end has less left to wait for.
    void written(std::uint64_t n) {
#if defined(__linux__)
        if (n > 0) ::sync_file_range(fd_, static_cast<off_t>(total_), static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
#endif
        total_ += n;
    }

    int fd_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
    bool kernel_copy_ = true;
    ProgressCheck& progress_;
};

// Adds `count` values of `dtype` to `sums`.
template <class Sum>
void add_values(Dtype dtype, const unsigned char* bytes, Sum* sums, std::size_t count) {
    switch (dtype) {
        case Dtype::kF32:
            for (std::size_t i = 0; i < count; ++i) sums[i] += std::bit_cast<float>(load_u32(bytes + 4 * i));
            return;
        case Dtype::kF16:
            for (std::size_t i = 0; i < count; ++i) sums[i] += f16_to_f32(load_u16(bytes + 2 * i));
            return;
        case Dtype::kBF16:
            for (std::size_t i = 0; i < count; ++i) sums[i] += bf16_to_f32(load_u16(bytes + 2 * i));
            return;
        default:
            return;
    }
}

// Stores `count` float32 values as `dtype`, rounding to nearest even.
void store_values(Dtype dtype, const float* values, unsigned char* bytes, std::size_t count) {
    switch (dtype) {
        case Dtype::kF32:
            for (std::size_t i = 0; i < count; ++i) store_u32(bytes + 4 * i, std::bit_cast<std::uint32_t>(values[i]));
            return;
        case Dtype::kF16:
            for (std::size_t i = 0; i < count; ++i) store_u16(bytes + 2 * i, f32_to_f16(values[i]));
            return;
        case Dtype::kBF16:
            for (std::size_t i = 0; i < count; ++i) store_u16(bytes + 2 * i, f32_to_bf16(values[i]));
            return;
        default:
            return;
    }
}

// Builds the rows of one re-sliced tensor, one slice of the outer axes at a time.
class TensorRebuilder {
public:
    TensorRebuilder(const TensorEntry& tensor, unsigned axis, const RowPlan& plan, std::uint64_t data_start,
                    const SourceReader& source, TargetWriter& target, ProgressCheck& progress)
        : tensor_(tensor), geometry_(geometry_of(tensor, axis)), plan_(plan), source_(source), target_(target),
          progress_(progress), data_start_(data_start) {
        values_ = static_cast<std::size_t>(geometry_.row_bytes / item_size(tensor.dtype));
        row_bytes_ = static_cast<std::size_t>(geometry_.row_bytes);
    }

    void write() {
        for (std::uint64_t slice = 0; slice < geometry_.outer; ++slice) {
            std::uint64_t base = data_start_ + tensor_.begin + slice * geometry_.rows * geometry_.row_bytes;
            if (plan_averages_all(plan_)) mean_of_all_ = mean_of_all_rows(base);
            write_slice(base);
        }
    }

private:
    void write_slice(std::uint64_t base) {
        const std::vector<RowSource>& rows = plan_.rows;
        for (std::size_t i = 0; i < rows.size();) {
            const RowSource& source = rows[i];
            if (is_copy(source)) {
                // Runs of consecutive old rows are read at once, and long ones copied by the kernel.
                std::uint64_t first = source.rows[0];
                std::size_t run = 1;
                while (i + run < rows.size() && is_copy(rows[i + run]) && rows[i + run].rows[0] == first + run) ++run;
                std::uint64_t offset = base + first * geometry_.row_bytes;
                std::uint64_t bytes = run * geometry_.row_bytes;
                if (bytes >= kDirectCopySize) {
                    target_.copy(source_, offset, bytes);
                } else {
                    source_.read(offset, target_.claim(static_cast<std::size_t>(bytes)), bytes);
                    target_.added(static_cast<std::size_t>(bytes));
                }
                i += run;
            } else if (source.kind == RowSource::Kind::kMean) {
                write_mean(base, source.rows);
                ++i;
            } else {
                target_.put(mean_of_all_.data(), row_bytes_);
                ++i;
            }
            progress_.check_now_and_then();
        }
    }

    // The float32 mean of the old rows, summed in the order given.
    void write_mean(std::uint64_t base, const std::vector<std::uint64_t>& old_rows) {
        sums_.assign(values_, 0.0f);
        row_.resize(row_bytes_);
        for (std::uint64_t old_row : old_rows) {
            source_.read(base + old_row * geometry_.row_bytes, row_.data(), row_bytes_);
            add_values(tensor_.dtype, row_.data(), sums_.data(), values_);
        }
        const float count = static_cast<float>(old_rows.size());
        for (float& sum : sums_) sum /= count;
        store_values(tensor_.dtype, sums_.data(), target_.claim(row_bytes_), values_);
        target_.added(row_bytes_);
    }

    // The mean of every row of the slice, read a buffer at a time.
    std::vector<unsigned char> mean_of_all_rows(std::uint64_t base) {
        std::vector<double> sums(values_, 0.0);
        std::vector<float> widened(values_);
        std::size_t rows_per_read = static_cast<std::size_t>(std::min<std::uint64_t>(
            geometry_.rows, std::max<std::size_t>(1, kBufferSize / std::max<std::size_t>(row_bytes_, 1))));
        std::vector<unsigned char> chunk(rows_per_read * row_bytes_);
        for (std::uint64_t row = 0; row < geometry_.rows;) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_read, geometry_.rows - row));
            source_.read(base + row * geometry_.row_bytes, chunk.data(), n * row_bytes_);
            for (std::size_t k = 0; k < n; ++k) add_values(tensor_.dtype, chunk.data() + k * row_bytes_, sums.data(), values_);
            row += n;
            progress_.check_now_and_then();
        }
        for (std::size_t i = 0; i < values_; ++i)
            widened[i] = static_cast<float>(sums[i] / static_cast<double>(geometry_.rows));
        std::vector<unsigned char> mean(row_bytes_);
        store_values(tensor_.dtype, widened.data(), mean.data(), values_);
        return mean;
    }

    const TensorEntry& tensor_;
    Geometry geometry_;
    const RowPlan& plan_;
    const SourceReader& source_;
    TargetWriter& target_;
    ProgressCheck& progress_;
    std::uint64_t data_start_;
    std::size_t values_ = 0;
    std::size_t row_bytes_ = 0;
    std::vector<float> sums_;
    std::vector<unsigned char> row_;
    std::vector<unsigned char> mean_of_all_;
};

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

void check_row_plan(const RowPlan& plan) {
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const RowSource& source = plan.rows[i];
        std::string row = "row plan: new row " + std::to_string(i);
        switch (source.kind) {
            case RowSource::Kind::kCopy:
                if (source.rows.size() != 1)
                    throw WeightsError(row + " copies " + std::to_string(source.rows.size()) + " old rows; a copy takes one");
                break;
            case RowSource::Kind::kMean:
                if (source.rows.empty()) throw WeightsError(row + " is the mean of no rows");
                break;
            case RowSource::Kind::kMeanOfAll:
                if (plan.old_rows == 0) throw WeightsError(row + " is the mean of all old rows, but there are none");
                break;
        }
        for (std::uint64_t old_row : source.rows)
            if (old_row >= plan.old_rows)
                throw WeightsError(row + " takes old row " + std::to_string(old_row) + ", but there are only " +
                                   std::to_string(plan.old_rows));
    }
}

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

    // The buffer holds a whole row, and is no larger than the largest rebuilt tensor needs.
    std::uint64_t widest_row = 0, largest_tensor = 0;
    for (const VocabularyTensor& listed : tensors)
        if (const TensorEntry* tensor = header.find(listed.name)) {
            widest_row = std::max(widest_row, geometry_of(*tensor, listed.axis).row_bytes);
            largest_tensor = std::max(largest_tensor, tensor->byte_size());
        }
    std::uint64_t capacity = std::max(widest_row, std::min<std::uint64_t>(kBufferSize, std::max(largest_tensor, kSmallBuffer)));
    TargetWriter target(target_fd, target_path, static_cast<std::size_t>(capacity), progress);

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
        TensorRebuilder(tensor, found->second, plan, header.data_start(), source, target, progress).write();
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
