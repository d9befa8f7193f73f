// Rows of GGUF tensors as float32 and back. A row is whole blocks of its
// type; decoding follows the block layouts exactly, encoding is our own (see
// each encoder for how it chooses scales), so a new row stored in a
// quantized type is as close to its float32 values as the block allows.
//
//   F32, F16, BF16  one value per element (F16 and BF16 rounded to nearest even)
//   Q8_0   32 values: f16 scale d, 32 int8 q; x = d*q
//   Q4_0   32 values: f16 scale d, 16 bytes of nibbles (values 0-15 low,
//          16-31 high); x = d*(q-8)
//   Q4_K   256 values: f16 d, f16 dmin, 12 bytes of 6-bit scales and mins
//          for 8 sub-blocks of 32, 128 bytes of nibbles; x = d*sc*q - dmin*m
//   Q5_K   as Q4_K with a fifth bit per value in 32 more bytes
//   Q6_K   256 values: 128 bytes of low nibbles, 64 of high bit pairs, 16
//          int8 scales for sub-blocks of 16, f16 d; x = d*sc*(q-32)
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocarix::gguf {

// Whether rows of this tensor type can be decoded and encoded here.
bool has_codec(std::uint32_t type);

// `values` must be whole blocks of the type, and the type one has_codec takes.
void decode_row(std::uint32_t type, const unsigned char* row, std::size_t values, float* out);
void encode_row(std::uint32_t type, const float* values, std::size_t count, unsigned char* row);

// The K types (block_codecs_k.cpp); one block of 256 values each.
void decode_q4_k(const unsigned char* block, float* out);
void encode_q4_k(const float* values, unsigned char* block);
void decode_q5_k(const unsigned char* block, float* out);
void encode_q5_k(const float* values, unsigned char* block);
void decode_q6_k(const unsigned char* block, float* out);
void encode_q6_k(const float* values, unsigned char* block);

}  // namespace vocarix::gguf
