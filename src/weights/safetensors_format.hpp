// The safetensors layout, read strictly and written back:
//
//   8 bytes   N, the header's length, little-endian
//   N bytes   JSON: {"__metadata__": {str: str}, name: {"dtype": "F32",
//             "shape": [d0, d1, ...], "data_offsets": [begin, end]}, ...},
//             padded with spaces
//   the data  every tensor's bytes, row-major, little-endian, at
//             [begin, end) relative to the data's start
//
// The reader refuses everything a strict loader refuses: a header over
// 100 MB or past the end of the file, JSON of any other shape, unknown
// dtypes, a shape whose bytes differ from its offsets, tensors that overlap
// or leave holes, and data past the last tensor. Tensor data is never read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vocarix::weights {

// Headers longer than this are refused before they are read.
inline constexpr std::uint64_t kMaxHeaderSize = 100'000'000;

enum class Dtype {
    kF64, kF32, kF16, kBF16, kI64, kI32, kI16, kI8, kU8, kBool, kU16, kU32, kU64,
    kF8E4M3, kF8E5M2, kF8E8M0, kC64,
    // Packed below a byte: a tensor of them must fill whole bytes, and its
    // rows cannot be re-sliced.
    kF4, kF6E2M3, kF6E3M2,
};

// The name the header uses ("BF16"), and back; nullopt for a name not known.
std::string_view dtype_name(Dtype dtype);
std::optional<Dtype> dtype_named(std::string_view name);
// Bits per element, and whole bytes per element (0 for the packed ones).
std::uint64_t item_bits(Dtype dtype);
std::uint64_t item_size(Dtype dtype);
// Whether rows of this dtype can be averaged (F32, F16, BF16).
bool can_average(Dtype dtype);

struct TensorEntry {
    std::string name;
    Dtype dtype = Dtype::kF32;
    std::vector<std::uint64_t> shape;  // empty for a scalar
    std::uint64_t begin = 0;           // data_offsets, relative to the data's start
    std::uint64_t end = 0;

    std::uint64_t byte_size() const { return end - begin; }
};

struct SafetensorsHeader {
    // Every tensor, in the order of its data (ties in file order).
    std::vector<TensorEntry> tensors;
    // "__metadata__" in file order; nullopt when the header has none (or null).
    std::optional<std::vector<std::pair<std::string, std::string>>> metadata;
    // N: the header's length as stored, padding included.
    std::uint64_t header_size = 0;
    // Bytes after the header: the end of the last tensor.
    std::uint64_t data_size = 0;

    std::uint64_t data_start() const { return 8 + header_size; }
    std::uint64_t file_size() const { return data_start() + data_size; }
    // The tensor named `name`, or null.
    const TensorEntry* find(std::string_view name) const;
};

// Parses and checks header JSON (without its 8-byte length) for a file whose
// data part holds `data_size` bytes. Throws WeightsError describing the
// problem, without a file name.
SafetensorsHeader parse_safetensors_header(std::string_view json, std::uint64_t data_size);

// Reads and checks the header of an open file of `file_size` bytes (read with
// pread, so the descriptor's offset does not move). `path` names the file in
// messages: WeightsError("<path>: not a valid safetensors file: <why>") when
// the file lies, DocumentError("Failed to read: <path>") when it cannot be read.
SafetensorsHeader read_safetensors_header(int fd, std::uint64_t file_size, const std::string& path);
// The same for a path.
SafetensorsHeader read_safetensors_header(const std::string& path);

// The first bytes of a file holding these tensors: the 8-byte length, then
// compact JSON with "__metadata__" first (when present) and the tensors in
// the given order, padded with spaces to a multiple of 8 bytes so the data
// starts aligned. The tensors' offsets are written as they are.
std::string safetensors_prefix(const std::vector<TensorEntry>& tensors,
                               const std::optional<std::vector<std::pair<std::string, std::string>>>& metadata);

}  // namespace vocarix::weights
