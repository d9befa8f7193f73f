// The GGUF layout, read strictly and written back:
//
//   "GGUF"            magic
//   u32               version (2 or 3; both as below)
//   u64, u64          tensor count, metadata count
//   metadata          key (u64 length + bytes), value (see gguf_values.hpp)
//   tensor infos      name, u32 dimension count (1..4), u64 dimensions with
//                     the row length first, u32 type, u64 offset from the
//                     data's start (a multiple of the alignment)
//   padding           to general.alignment (32 when absent)
//   the data          every tensor's bytes, rows of whole blocks
//
// The reader refuses everything a loader would trip over: a wrong magic or
// version, any count, length or offset that points past the end of the file
// (checked before anything is allocated, so a header claiming 2^60 strings
// costs nothing), unknown value or tensor types, duplicate keys or tensor
// names, a row length that is not whole blocks, a size that overflows,
// tensors that overlap or are not aligned. Tensor data is never read here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/gguf/gguf_values.hpp"

namespace vocarix::gguf {

inline constexpr std::uint64_t kDefaultAlignment = 32;
inline constexpr char kAlignmentKey[] = "general.alignment";

struct TensorInfo {
    std::string name;
    std::vector<std::uint64_t> dims;  // row length first
    std::uint32_t type = 0;
    std::uint64_t offset = 0;  // from the data's start
    std::uint64_t byte_size = 0;

    // Rows: every dimension but the first, multiplied.
    std::uint64_t rows() const;
    std::uint64_t row_bytes() const { return rows() == 0 ? 0 : byte_size / rows(); }
};

struct GgufHeader {
    std::uint32_t version = 3;
    std::vector<KeyValue> metadata;  // in file order
    std::vector<TensorInfo> tensors;  // in file order
    std::uint64_t alignment = kDefaultAlignment;
    std::uint64_t data_start = 0;
    std::uint64_t file_size = 0;

    const Value* find(std::string_view key) const;
    const TensorInfo* tensor(std::string_view name) const;
};

// Reads and checks the header of an open file of `file_size` bytes (with
// pread: the descriptor's offset does not move). GgufError("<path>: not a
// valid GGUF file: <why>") when it lies, DocumentError when it cannot be read.
GgufHeader read_gguf_header(int fd, std::uint64_t file_size, const std::string& path);
GgufHeader read_gguf_header(const std::string& path);

// The bytes of a tensor of this type and shape; throws GgufError(<why>) when
// the type is unknown, the rows are not whole blocks or the size overflows.
std::uint64_t tensor_bytes(std::uint32_t type, const std::vector<std::uint64_t>& dims);

// Gives the tensors offsets in their order, each aligned; returns the data's size.
std::uint64_t lay_out(std::vector<TensorInfo>& tensors, std::uint64_t alignment);

// Everything before the data of a file of this version, metadata and tensor
// infos, padding to the alignment included.
std::string gguf_prefix(std::uint32_t version, const std::vector<KeyValue>& metadata,
                        const std::vector<TensorInfo>& tensors, std::uint64_t alignment);

}  // namespace vocarix::gguf
