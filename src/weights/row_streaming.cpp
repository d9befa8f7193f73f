#include "weights/row_streaming.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "document/errors.hpp"
#include "document/text.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::weights {

void throw_system(const std::string& what, const std::string& path, int error) {
    throw DocumentError(what + debug_quoted(path), std::strerror(error));
}

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

void check_row_plan(const RowPlan& plan) {
    auto row = [](std::size_t i) { return "row plan: new row " + std::to_string(i); };
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const RowSource& source = plan.rows[i];
        switch (source.kind) {
            case RowSource::Kind::kCopy:
                if (source.rows.size() != 1)
                    throw WeightsError(row(i) + " copies " + std::to_string(source.rows.size()) +
                                       " old rows; a copy takes one");
                break;
            case RowSource::Kind::kMean:
                if (source.rows.empty()) throw WeightsError(row(i) + " is the mean of no rows");
                break;
            case RowSource::Kind::kMeanOfAll:
                if (plan.old_rows == 0) throw WeightsError(row(i) + " is the mean of all old rows, but there are none");
                break;
        }
        for (std::uint64_t old_row : source.rows)
            if (old_row >= plan.old_rows)
                throw WeightsError(row(i) + " takes old row " + std::to_string(old_row) + ", but there are only " +
                                   std::to_string(plan.old_rows));
    }
}

void SourceReader::read(std::uint64_t offset, unsigned char* out, std::uint64_t size) const {
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

void SourceReader::ended_early() const {
    throw WeightsError(path_ + ": the file ended early: it changed while it was being rewritten");
}

void TargetWriter::put(const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;  // a row of no values: `bytes` may be null
    if (n > buffer_.size()) {
        flush();
        write_all(bytes, n);
        return;
    }
    std::memcpy(claim(n), bytes, n);
    added(n);
}

void TargetWriter::zeros(std::size_t n) {
    while (n > 0) {
        std::size_t piece = std::min(n, buffer_.size());
        std::memset(claim(piece), 0, piece);
        added(piece);
        n -= piece;
    }
}

void TargetWriter::flush() {
    write_all(buffer_.data(), used_);
    used_ = 0;
}

void TargetWriter::copy(const SourceReader& source, std::uint64_t offset, std::uint64_t size) {
    while (size > 0) {
        if (used_ == buffer_.size()) flush();
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer_.size() - used_));
        source.read(offset, buffer_.data() + used_, piece);
        used_ += piece;
        offset += piece;
        size -= piece;
        progress_.check_now_and_then();
    }
}

void TargetWriter::write_all(const unsigned char* data, std::size_t size) {
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

// Hands to the disk's writeback, in whole pieces, what lies at least one
// piece behind the end of what is written, so that the flush at the end has
// little left to wait for. Handing over everything up to the end instead,
// where the next write goes on filling the last page, made the rewrite of
// benchmarks/weights.py two to three times as slow.
void TargetWriter::written(std::uint64_t n) {
    total_ += n;
#if defined(__linux__)
    if (total_ < 2 * kWritebackPiece) return;
    std::uint64_t behind = (total_ - kWritebackPiece) / kWritebackPiece * kWritebackPiece;
    if (behind > started_) {
        ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(behind - started_),
                          SYNC_FILE_RANGE_WRITE);
        started_ = behind;
    }
#endif
}

void RowRebuilder::write_slice(std::uint64_t base) {
    const std::vector<RowSource>& rows = plan_.rows;
    std::vector<unsigned char> mean_of_all;
    if (plan_averages_all(plan_)) mean_of_all = mean_of_all_rows(base);
    for (std::size_t i = 0; i < rows.size();) {
        const RowSource& source = rows[i];
        if (is_copy(source)) {
            // Runs of consecutive old rows are read at once.
            std::uint64_t first = source.rows[0];
            std::size_t run = 1;
            while (i + run < rows.size() && is_copy(rows[i + run]) && rows[i + run].rows[0] == first + run) ++run;
            target_.copy(source_, base + first * row_bytes_, run * row_bytes_);
            i += run;
        } else if (source.kind == RowSource::Kind::kMean) {
            write_mean(base, source.rows);
            ++i;
        } else {
            target_.put(mean_of_all.data(), static_cast<std::size_t>(row_bytes_));
            ++i;
        }
        progress_.check_now_and_then();
    }
}

void RowRebuilder::write_mean(std::uint64_t base, const std::vector<std::uint64_t>& old_rows) {
    const std::size_t row_bytes = static_cast<std::size_t>(row_bytes_);
    sums_.assign(codec_.values, 0.0f);
    decoded_.resize(codec_.values);
    row_.resize(row_bytes);
    for (std::uint64_t old_row : old_rows) {
        source_.read(base + old_row * row_bytes_, row_.data(), row_bytes);
        codec_.decode(row_.data(), decoded_.data());
        for (std::size_t k = 0; k < codec_.values; ++k) sums_[k] += decoded_[k];
    }
    const float count = static_cast<float>(old_rows.size());
    for (float& sum : sums_) sum /= count;
    codec_.encode(sums_.data(), target_.claim(row_bytes));
    target_.added(row_bytes);
}

std::vector<unsigned char> RowRebuilder::mean_of_all_rows(std::uint64_t base) {
    const std::size_t row_bytes = static_cast<std::size_t>(row_bytes_);
    std::vector<double> sums(codec_.values, 0.0);
    std::vector<float> decoded(codec_.values);
    std::uint64_t rows = plan_.old_rows;
    std::size_t rows_per_read = static_cast<std::size_t>(
        std::min<std::uint64_t>(rows, std::max<std::size_t>(1, kBufferSize / std::max<std::size_t>(row_bytes, 1))));
    std::vector<unsigned char> chunk(rows_per_read * row_bytes);
    for (std::uint64_t row = 0; row < rows;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_read, rows - row));
        source_.read(base + row * row_bytes_, chunk.data(), n * row_bytes);
        for (std::size_t k = 0; k < n; ++k) {
            codec_.decode(chunk.data() + k * row_bytes, decoded.data());
            for (std::size_t v = 0; v < codec_.values; ++v) sums[v] += decoded[v];
        }
        row += n;
        progress_.check_now_and_then();
    }
    std::vector<float> mean(codec_.values);
    for (std::size_t v = 0; v < codec_.values; ++v) mean[v] = static_cast<float>(sums[v] / static_cast<double>(rows));
    std::vector<unsigned char> bytes(row_bytes);
    codec_.encode(mean.data(), bytes.data());
    return bytes;
}

}  // namespace vocarix::weights
