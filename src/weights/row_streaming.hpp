// Streaming a weights file into a new one: exact ranges read from the
// source into a small buffer and written from it, and the rows of a
// vocabulary tensor rebuilt one at a time by a row plan. The safetensors and GGUF rewrites share these; each tells
// how its rows' values are read as float32 and written back (a RowCodec).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "document/progress_check.hpp"
#include "weights/row_plan.hpp"

namespace vocarix::weights {

// Everything written (copied ranges and rebuilt rows alike) goes through a
// buffer of this size, or of one row when a row is wider, and progress is
// checked after each piece. It is small so that the bytes read into it are
// still in the core's cache when they are written out: 512 KiB and 1 MiB did
// best, 4 MiB took twice as long. The kernel's copy_file_range, which saves
// the copy into the buffer, was a tenth to a third slower for both the GGUF
// and the safetensors rewrite (benchmarks/gguf_file.py, benchmarks/weights.py).
inline constexpr std::size_t kBufferSize = std::size_t{512} << 10;
// Written bytes are handed to the disk's writeback in pieces of this size.
inline constexpr std::uint64_t kWritebackPiece = std::uint64_t{16} << 20;

// Throws DocumentError("<what><path>") with the system's reason.
[[noreturn]] void throw_system(const std::string& what, const std::string& path, int error);

// Checks that the plan is sound on its own: a kCopy row names one old row, a
// kMean row at least one, every row named is below old_rows, and kMeanOfAll
// has rows to average. Throws WeightsError.
void check_row_plan(const RowPlan& plan);

// A kMean of one old row is that row: copied, so that it stays bit for bit
// (NaN payloads and quantized blocks included) and works for every type.
bool is_copy(const RowSource& source);
// Whether some row of the plan is computed rather than copied.
bool plan_averages(const RowPlan& plan);
bool plan_averages_all(const RowPlan& plan);

// Reads exact ranges of the source file; an early end means the file changed.
class SourceReader {
public:
    SourceReader(int fd, const std::string& path) : fd_(fd), path_(path) {}
    void read(std::uint64_t offset, unsigned char* out, std::uint64_t size) const;
    [[noreturn]] void ended_early() const;
    int fd() const { return fd_; }

private:
    int fd_;
    const std::string& path_;
};

// The target file, written through a buffer.
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
    void put(const unsigned char* bytes, std::size_t n);
    // `n` zero bytes (padding).
    void zeros(std::size_t n);
    void flush();
    // Copies `size` bytes of the source at `offset`.
    void copy(const SourceReader& source, std::uint64_t offset, std::uint64_t size);
    std::uint64_t total() const { return total_ + used_; }

private:
    void write_all(const unsigned char* data, std::size_t size);
    void written(std::uint64_t n);

    int fd_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t started_ = 0;  // bytes handed to writeback so far
    ProgressCheck& progress_;
};

// How one row's values are read as float32 and stored back in the tensor's
// own type. Only rows that are computed (means) go through it.
struct RowCodec {
    std::size_t values = 0;  // values in a row
    std::function<void(const unsigned char* row, float* values)> decode;
    std::function<void(const float* values, unsigned char* row)> encode;
};

// Writes the rows of one slice of a tensor (`rows` rows of `row_bytes`
// bytes from `base` in the source) in the plan's order. Copied rows stay bit
// for bit; a kMean row is the float32 mean of its old rows, summed in the
// order given; a kMeanOfAll row the mean of every row of the slice, summed
// in float64 and rounded to float32 before it is stored.
class RowRebuilder {
public:
    RowRebuilder(const RowPlan& plan, std::uint64_t row_bytes, const RowCodec& codec, const SourceReader& source,
                 TargetWriter& target, ProgressCheck& progress)
        : plan_(plan), row_bytes_(row_bytes), codec_(codec), source_(source), target_(target), progress_(progress) {}

    void write_slice(std::uint64_t base);

private:
    void write_mean(std::uint64_t base, const std::vector<std::uint64_t>& old_rows);
    std::vector<unsigned char> mean_of_all_rows(std::uint64_t base);

    const RowPlan& plan_;
    std::uint64_t row_bytes_;
    const RowCodec& codec_;
    const SourceReader& source_;
    TargetWriter& target_;
    ProgressCheck& progress_;
    std::vector<float> sums_;
    std::vector<float> decoded_;
    std::vector<unsigned char> row_;
};

}  // namespace vocarix::weights
