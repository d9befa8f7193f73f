// The K block types: 256 values a block, in sub-blocks with scales of their
// own that are themselves quantized against one or two f16 block scales.
#include <algorithm>
#include <cmath>

#include "formats/gguf/block_codecs.hpp"
#include "weights/float_formats.hpp"

namespace vocarix::gguf {
namespace {

using weights::f16_to_f32;
using weights::f32_to_f16;
using weights::load_u16;
using weights::store_u16;

constexpr std::size_t kSuperBlock = 256;
constexpr std::size_t kSubBlocks = 8;  // of 32 values, for Q4_K and Q5_K
constexpr int kSixBits = 63;

// Scale and min of sub-block j, packed six bits each into 12 bytes: the
// first four pairs in the low six bits of bytes 0-3 (scales) and 4-7 (mins),
// the last four in the nibbles of bytes 8-11 with their top two bits in the
// top bits of bytes 0-7.
void unpack_scale_min(const unsigned char* packed, std::size_t j, int& scale, int& min) {
    if (j < 4) {
        scale = packed[j] & 63;
        min = packed[j + 4] & 63;
    } else {
        scale = (packed[j + 4] & 0x0F) | ((packed[j - 4] >> 6) << 4);
        min = (packed[j + 4] >> 4) | ((packed[j] >> 6) << 4);
    }
}

void pack_scales_mins(const int* scales, const int* mins, unsigned char* packed) {
    std::fill(packed, packed + 12, 0);
    for (std::size_t j = 0; j < kSubBlocks; ++j) {
        if (j < 4) {
            packed[j] = static_cast<unsigned char>(scales[j]);
            packed[j + 4] = static_cast<unsigned char>(mins[j]);
        } else {
            packed[j + 4] = static_cast<unsigned char>((scales[j] & 0x0F) | ((mins[j] & 0x0F) << 4));
            packed[j - 4] = static_cast<unsigned char>(packed[j - 4] | ((scales[j] >> 4) << 6));
            packed[j] = static_cast<unsigned char>(packed[j] | ((mins[j] >> 4) << 6));
        }
    }
}

int nearest_in(float value, int low, int high) {
    if (!std::isfinite(value)) return low;
    return static_cast<int>(std::clamp<long>(std::lround(value), low, high));
}

// Levels 0..top for the values of a Q4_K or Q5_K block. Each sub-block of 32
// spans [min(0, lowest), highest] in top steps; the block's d and dmin make
// the largest sub-block step and offset 63, and the six-bit sub-block scales
// and mins are rounded against them. Stores d and dmin (f16) and the packed
// scales at `head`; levels use the rounded scales, so they are as close as
// the block can hold.
void quantize_with_mins(const float* values, int top, unsigned char* head, int* levels) {
    float steps[kSubBlocks], offsets[kSubBlocks];
    float largest_step = 0.0f, largest_offset = 0.0f;
    for (std::size_t j = 0; j < kSubBlocks; ++j) {
        const float* sub = values + 32 * j;
        float low = std::min(0.0f, *std::min_element(sub, sub + 32));
        float high = *std::max_element(sub, sub + 32);
        steps[j] = (high - low) / static_cast<float>(top);
        offsets[j] = -low;
        largest_step = std::max(largest_step, steps[j]);
        largest_offset = std::max(largest_offset, offsets[j]);
    }
    std::uint16_t d_bits = f32_to_f16(largest_step / kSixBits), dmin_bits = f32_to_f16(largest_offset / kSixBits);
    store_u16(head, d_bits);
    store_u16(head + 2, dmin_bits);
    float d = f16_to_f32(d_bits), dmin = f16_to_f32(dmin_bits);
    int scales[kSubBlocks], mins[kSubBlocks];
    for (std::size_t j = 0; j < kSubBlocks; ++j) {
        scales[j] = d > 0.0f ? nearest_in(steps[j] / d, 0, kSixBits) : 0;
        mins[j] = dmin > 0.0f ? nearest_in(offsets[j] / dmin, 0, kSixBits) : 0;
        float step = d * static_cast<float>(scales[j]), offset = dmin * static_cast<float>(mins[j]);
        for (std::size_t i = 0; i < 32; ++i)
            levels[32 * j + i] = step > 0.0f ? nearest_in((values[32 * j + i] + offset) / step, 0, top) : 0;
    }
    pack_scales_mins(scales, mins, head + 4);
}

// x = d*scale*level - dmin*min for sub-block j of a Q4_K or Q5_K block.
void dequantize_with_mins(const unsigned char* head, const int* levels, float* out) {
    float d = f16_to_f32(load_u16(head)), dmin = f16_to_f32(load_u16(head + 2));
    for (std::size_t j = 0; j < kSubBlocks; ++j) {
        int scale = 0, min = 0;
        unpack_scale_min(head + 4, j, scale, min);
        float step = d * static_cast<float>(scale), offset = dmin * static_cast<float>(min);
        for (std::size_t i = 0; i < 32; ++i) out[32 * j + i] = step * static_cast<float>(levels[32 * j + i]) - offset;
    }
}

}  // namespace

// Q4_K: d, dmin, 12 bytes of scales, then for each 64 values 32 bytes whose
// low nibbles are the first 32 and high nibbles the next 32.
void decode_q4_k(const unsigned char* block, float* out) {
    int levels[kSuperBlock];
    const unsigned char* nibbles = block + 16;
    for (std::size_t chunk = 0; chunk < 4; ++chunk)
        for (std::size_t i = 0; i < 32; ++i) {
            levels[64 * chunk + i] = nibbles[32 * chunk + i] & 0x0F;
            levels[64 * chunk + 32 + i] = nibbles[32 * chunk + i] >> 4;
        }
    dequantize_with_mins(block, levels, out);
}

void encode_q4_k(const float* values, unsigned char* block) {
    int levels[kSuperBlock];
    quantize_with_mins(values, 15, block, levels);
    unsigned char* nibbles = block + 16;
    for (std::size_t chunk = 0; chunk < 4; ++chunk)
        for (std::size_t i = 0; i < 32; ++i)
            nibbles[32 * chunk + i] =
                static_cast<unsigned char>(levels[64 * chunk + i] | (levels[64 * chunk + 32 + i] << 4));
}

// Q5_K: d, dmin, 12 bytes of scales, 32 bytes of fifth bits (bit 2c of byte
// i for value 64c+i, bit 2c+1 for value 64c+32+i), then the nibbles as in Q4_K.
void decode_q5_k(const unsigned char* block, float* out) {
    int levels[kSuperBlock];
    const unsigned char* high = block + 16;
    const unsigned char* nibbles = block + 48;
    for (std::size_t chunk = 0; chunk < 4; ++chunk)
        for (std::size_t i = 0; i < 32; ++i) {
            levels[64 * chunk + i] = (nibbles[32 * chunk + i] & 0x0F) | (((high[i] >> (2 * chunk)) & 1) << 4);
            levels[64 * chunk + 32 + i] = (nibbles[32 * chunk + i] >> 4) | (((high[i] >> (2 * chunk + 1)) & 1) << 4);
        }
    dequantize_with_mins(block, levels, out);
}

void encode_q5_k(const float* values, unsigned char* block) {
    int levels[kSuperBlock];
    quantize_with_mins(values, 31, block, levels);
    unsigned char* high = block + 16;
    unsigned char* nibbles = block + 48;
    std::fill(high, high + 32, 0);
    for (std::size_t chunk = 0; chunk < 4; ++chunk)
        for (std::size_t i = 0; i < 32; ++i) {
            int first = levels[64 * chunk + i], second = levels[64 * chunk + 32 + i];
            nibbles[32 * chunk + i] = static_cast<unsigned char>((first & 0x0F) | ((second & 0x0F) << 4));
            high[i] = static_cast<unsigned char>(high[i] | ((first >> 4) << (2 * chunk)) | ((second >> 4) << (2 * chunk + 1)));
        }
}

// Q6_K: 128 bytes of low nibbles, 64 bytes of high bit pairs, 16 int8
// scales (one per 16 values), f16 d. In each half of 128 values, byte i
// (of 32) of the high bits holds values i, i+32, i+64, i+96 in bit pairs
// 0-1, 2-3, 4-5, 6-7; low nibble bytes i and i+32 hold values i and i+32
// low and i+64 and i+96 high.
void decode_q6_k(const unsigned char* block, float* out) {
    const unsigned char* low = block;
    const unsigned char* high = block + 128;
    const auto* scales = reinterpret_cast<const signed char*>(block + 192);
    float d = f16_to_f32(load_u16(block + 208));
    for (std::size_t half = 0; half < 2; ++half) {
        const unsigned char* ql = low + 64 * half;
        const unsigned char* qh = high + 32 * half;
        for (std::size_t i = 0; i < 32; ++i) {
            int q[4] = {(ql[i] & 0x0F) | (((qh[i] >> 0) & 3) << 4), (ql[i + 32] & 0x0F) | (((qh[i] >> 2) & 3) << 4),
                        (ql[i] >> 4) | (((qh[i] >> 4) & 3) << 4), (ql[i + 32] >> 4) | (((qh[i] >> 6) & 3) << 4)};
            for (std::size_t k = 0; k < 4; ++k) {
                std::size_t at = 128 * half + 32 * k + i;
                out[at] = d * static_cast<float>(scales[at / 16]) * static_cast<float>(q[k] - 32);
            }
        }
    }
}

// Each sub-block of 16 gets the step that maps its largest magnitude to 31
// or -32 (whichever reaches it with the right sign); d makes the largest
// step ±127 in the int8 scales, and levels use the rounded steps.
void encode_q6_k(const float* values, unsigned char* block) {
    float steps[16], largest = 0.0f;
    for (std::size_t j = 0; j < 16; ++j) {
        float extreme = 0.0f;
        for (std::size_t i = 0; i < 16; ++i)
            if (std::fabs(values[16 * j + i]) > std::fabs(extreme)) extreme = values[16 * j + i];
        steps[j] = extreme / -32.0f;
        largest = std::max(largest, std::fabs(steps[j]));
    }
    std::uint16_t d_bits = f32_to_f16(largest / 127.0f);
    store_u16(block + 208, d_bits);
    float d = f16_to_f32(d_bits);
    int levels[kSuperBlock];
    for (std::size_t j = 0; j < 16; ++j) {
        int scale = d > 0.0f ? nearest_in(steps[j] / d, -128, 127) : 0;
        block[192 + j] = static_cast<unsigned char>(static_cast<signed char>(scale));
        float step = d * static_cast<float>(scale);
        for (std::size_t i = 0; i < 16; ++i)
            levels[16 * j + i] = step != 0.0f ? nearest_in(values[16 * j + i] / step, -32, 31) + 32 : 32;
    }
    unsigned char* low = block;
    unsigned char* high = block + 128;
    for (std::size_t half = 0; half < 2; ++half) {
        unsigned char* ql = low + 64 * half;
        unsigned char* qh = high + 32 * half;
        const int* l = levels + 128 * half;
        for (std::size_t i = 0; i < 32; ++i) {
            ql[i] = static_cast<unsigned char>((l[i] & 0x0F) | ((l[i + 64] & 0x0F) << 4));
            ql[i + 32] = static_cast<unsigned char>((l[i + 32] & 0x0F) | ((l[i + 96] & 0x0F) << 4));
            qh[i] = static_cast<unsigned char>((l[i] >> 4) | ((l[i + 32] >> 4) << 2) | ((l[i + 64] >> 4) << 4) |
                                               ((l[i + 96] >> 4) << 6));
        }
    }
}

}  // namespace vocarix::gguf
