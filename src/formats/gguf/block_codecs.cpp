#include "formats/gguf/block_codecs.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "formats/gguf/tensor_types.hpp"
#include "weights/float_formats.hpp"

namespace vocarix::gguf {
namespace {

using weights::f16_to_f32;
using weights::f32_to_f16;
using weights::load_u16;
using weights::store_u16;

constexpr std::size_t kBlock32 = 32;
constexpr std::size_t kBlock256 = 256;

void decode_q8_0(const unsigned char* block, float* out) {
    float d = f16_to_f32(load_u16(block));
    for (std::size_t i = 0; i < kBlock32; ++i) out[i] = d * static_cast<float>(static_cast<std::int8_t>(block[2 + i]));
}

// The scale makes the largest magnitude ±127; each value is rounded to the nearest step.
void encode_q8_0(const float* values, unsigned char* block) {
    float amax = 0.0f;
    for (std::size_t i = 0; i < kBlock32; ++i) amax = std::max(amax, std::fabs(values[i]));
    float d = amax / 127.0f;
    float inverse = d != 0.0f ? 1.0f / d : 0.0f;
    store_u16(block, f32_to_f16(d));
    for (std::size_t i = 0; i < kBlock32; ++i) {
        long q = std::lround(values[i] * inverse);
        block[2 + i] = static_cast<unsigned char>(static_cast<std::int8_t>(std::clamp<long>(q, -127, 127)));
    }
}

void decode_q4_0(const unsigned char* block, float* out) {
    float d = f16_to_f32(load_u16(block));
    for (std::size_t i = 0; i < kBlock32 / 2; ++i) {
        out[i] = d * static_cast<float>((block[2 + i] & 0x0F) - 8);
        out[i + 16] = d * static_cast<float>((block[2 + i] >> 4) - 8);
    }
}

// The value of largest magnitude maps to -8 exactly (so the other side
// reaches +7); each value goes to the nearest of the 16 steps.
void encode_q4_0(const float* values, unsigned char* block) {
    float extreme = 0.0f;
    for (std::size_t i = 0; i < kBlock32; ++i)
        if (std::fabs(values[i]) > std::fabs(extreme)) extreme = values[i];
    float d = extreme / -8.0f;
    float inverse = d != 0.0f ? 1.0f / d : 0.0f;
    store_u16(block, f32_to_f16(d));
    auto level = [&](float value) {
        return static_cast<unsigned char>(std::clamp(std::lround(value * inverse) + 8, 0L, 15L));
    };
    for (std::size_t i = 0; i < kBlock32 / 2; ++i)
        block[2 + i] = static_cast<unsigned char>(level(values[i]) | (level(values[i + 16]) << 4));
}

struct Layout {
    std::size_t block_values;
    std::size_t block_bytes;
    void (*decode)(const unsigned char*, float*);
    void (*encode)(const float*, unsigned char*);
};

bool layout_of(std::uint32_t type, Layout& layout) {
    switch (type) {
        case types::kQ8_0: layout = {kBlock32, 34, decode_q8_0, encode_q8_0}; return true;
        case types::kQ4_0: layout = {kBlock32, 18, decode_q4_0, encode_q4_0}; return true;
        case types::kQ4_K: layout = {kBlock256, 144, decode_q4_k, encode_q4_k}; return true;
        case types::kQ5_K: layout = {kBlock256, 176, decode_q5_k, encode_q5_k}; return true;
        case types::kQ6_K: layout = {kBlock256, 210, decode_q6_k, encode_q6_k}; return true;
        default: return false;
    }
}

}  // namespace

bool has_codec(std::uint32_t type) {
    Layout layout{};
    return type == types::kF32 || type == types::kF16 || type == types::kBF16 || layout_of(type, layout);
}

void decode_row(std::uint32_t type, const unsigned char* row, std::size_t values, float* out) {
    switch (type) {
        case types::kF32:
            for (std::size_t i = 0; i < values; ++i) out[i] = std::bit_cast<float>(weights::load_u32(row + 4 * i));
            return;
        case types::kF16:
            for (std::size_t i = 0; i < values; ++i) out[i] = f16_to_f32(load_u16(row + 2 * i));
            return;
        case types::kBF16:
            for (std::size_t i = 0; i < values; ++i) out[i] = weights::bf16_to_f32(load_u16(row + 2 * i));
            return;
        default:
            break;
    }
    Layout layout{};
    if (!layout_of(type, layout)) return;
    for (std::size_t block = 0; block < values / layout.block_values; ++block)
        layout.decode(row + block * layout.block_bytes, out + block * layout.block_values);
}

void encode_row(std::uint32_t type, const float* values, std::size_t count, unsigned char* row) {
    switch (type) {
        case types::kF32:
            for (std::size_t i = 0; i < count; ++i) weights::store_u32(row + 4 * i, std::bit_cast<std::uint32_t>(values[i]));
            return;
        case types::kF16:
            for (std::size_t i = 0; i < count; ++i) store_u16(row + 2 * i, f32_to_f16(values[i]));
            return;
        case types::kBF16:
            for (std::size_t i = 0; i < count; ++i) store_u16(row + 2 * i, weights::f32_to_bf16(values[i]));
            return;
        default:
            break;
    }
    Layout layout{};
    if (!layout_of(type, layout)) return;
    for (std::size_t block = 0; block < count / layout.block_values; ++block)
        layout.encode(values + block * layout.block_values, row + block * layout.block_bytes);
}

}  // namespace vocarix::gguf
