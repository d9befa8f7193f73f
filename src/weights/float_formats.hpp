// The 16-bit float formats of model weights, widened to float32 to average
// rows and narrowed back with round-to-nearest-even. Bytes are read and
// written little-endian, as safetensors stores them, whatever the host.
#pragma once

#include <bit>
#include <cstdint>

namespace vocarix::weights {

inline std::uint16_t load_u16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline void store_u16(unsigned char* bytes, std::uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value & 0xFF);
    bytes[1] = static_cast<unsigned char>(value >> 8);
}
inline std::uint32_t load_u32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}
inline void store_u32(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

// bfloat16 is the upper half of a float32.
inline float bf16_to_f32(std::uint16_t value) { return std::bit_cast<float>(static_cast<std::uint32_t>(value) << 16); }

inline std::uint16_t f32_to_bf16(float value) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    // A NaN stays a NaN: keep its sign and top payload, and make it quiet.
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<std::uint16_t>((bits >> 16) | 0x0040u);
    // Adding just under half a unit of the kept part, plus its last bit, rounds halfway cases to even.
    bits += 0x7FFFu + ((bits >> 16) & 1u);
    return static_cast<std::uint16_t>(bits >> 16);
}

inline float f16_to_f32(std::uint16_t value) {
    std::uint32_t sign = static_cast<std::uint32_t>(value & 0x8000u) << 16;
    std::uint32_t exponent = (value >> 10) & 0x1Fu;
    std::uint32_t mantissa = value & 0x3FFu;
    if (exponent == 0) {
        // Zero or subnormal: mantissa × 2^-24, exact in float32.
        float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 0x1F) return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

inline std::uint16_t f32_to_f16(float value) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    std::uint32_t sign = bits & 0x80000000u;
    bits ^= sign;
    std::uint32_t half;
    if (bits >= 0x47800000u) {
        // 65536 and above (or infinite) overflow; a NaN stays a quiet NaN.
        half = bits > 0x7F800000u ? 0x7E00u : 0x7C00u;
    } else if (bits < 0x38800000u) {
        // Below the smallest normal half: adding 0.5 lines the half's
        // subnormal bits up with the float's last ones, and the hardware's
        // rounding (to nearest even) does the rest.
        constexpr float kAlign = 0.5f;
        float aligned = std::bit_cast<float>(bits) + kAlign;
        half = std::bit_cast<std::uint32_t>(aligned) - std::bit_cast<std::uint32_t>(kAlign);
    } else {
        std::uint32_t odd = (bits >> 13) & 1u;
        // Rebias the exponent and round: just under half a unit, plus the last kept bit.
        bits += (static_cast<std::uint32_t>(15 - 127) << 23) + 0xFFFu + odd;
        half = bits >> 13;
    }
    return static_cast<std::uint16_t>(half | (sign >> 16));
}

}  // namespace vocarix::weights
