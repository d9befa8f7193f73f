// The tensor types a GGUF file names by number: how many values a block
// holds and how many bytes it takes. A row of a tensor is whole blocks, so
// its bytes follow from its length; a type not listed here cannot be sized,
// and a file using it is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vocarix::gguf {

struct TensorType {
    std::uint32_t id = 0;
    const char* name = "";
    std::uint64_t block_values = 1;
    std::uint64_t block_bytes = 0;
};

// The type with this number, or nullopt.
std::optional<TensorType> tensor_type(std::uint32_t id);
// "Q4_K", or "type 99" for a number no type has.
std::string tensor_type_name(std::uint32_t id);

namespace types {
inline constexpr std::uint32_t kF32 = 0, kF16 = 1, kQ4_0 = 2, kQ8_0 = 8, kQ4_K = 12, kQ5_K = 13, kQ6_K = 14,
                               kBF16 = 30;
}  // namespace types

}  // namespace vocarix::gguf
