// GGUF metadata values, kept as they are encoded so that every key an edit
// does not change is written back byte for byte, with readers for the few
// shapes the tokenizer keys use and writers for the values an edit sets.
//
// A value is its type (u32), then for a scalar its little-endian bytes (a
// bool is one byte), for a string a u64 length and the bytes, for an array
// the element type (u32), a u64 count and the elements one after another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vocarix::gguf {

enum class ValueType : std::uint32_t {
    kU8 = 0, kI8 = 1, kU16 = 2, kI16 = 3, kU32 = 4, kI32 = 5, kF32 = 6, kBool = 7,
    kString = 8, kArray = 9, kU64 = 10, kI64 = 11, kF64 = 12,
};

// Bytes of one scalar of this type; 0 for strings and arrays.
std::uint64_t scalar_size(ValueType type);
bool is_known(std::uint32_t type);
std::string value_type_name(ValueType type);

struct Value {
    ValueType type = ValueType::kU8;
    // Arrays: the type of their elements and how many there are.
    ValueType element_type = ValueType::kU8;
    std::uint64_t count = 0;
    // The encoding after the type tag (for an array, after its element type and count).
    std::string bytes;
};

struct KeyValue {
    std::string key;
    Value value;
};

// Readers; nullopt when the value has another shape.
std::optional<std::string> as_string(const Value& value);
// Any integer type holding a value >= 0.
std::optional<std::uint64_t> as_unsigned(const Value& value);
std::optional<bool> as_bool(const Value& value);
std::optional<std::vector<std::string>> as_string_array(const Value& value);
// An array of F32 (or of any integer type, converted).
std::optional<std::vector<float>> as_float_array(const Value& value);
// An array of any integer type.
std::optional<std::vector<std::int64_t>> as_integer_array(const Value& value);

// Writers.
Value string_value(std::string_view text);
Value string_array(const std::vector<std::string>& items);
Value f32_array(const std::vector<float>& items);
Value i32_array(const std::vector<std::int32_t>& items);
// `number` in the integer type of `like`; u32 (u64 past it) when `like` is
// not an integer or its type cannot hold the number.
Value integer_like(const Value& like, std::uint64_t number);

// The whole encoding of a key-value pair as it stands in a file.
void append_key_value(std::string& out, const KeyValue& pair);
void append_string(std::string& out, std::string_view text);
void append_u32(std::string& out, std::uint32_t value);
void append_u64(std::string& out, std::uint64_t value);

}  // namespace vocarix::gguf
