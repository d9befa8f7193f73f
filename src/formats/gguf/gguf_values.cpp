#include "formats/gguf/gguf_values.hpp"

#include <bit>
#include <cstring>
#include <limits>

namespace vocarix::gguf {
namespace {

std::uint64_t load_le(const char* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return value;
}

void append_le(std::string& out, std::uint64_t value, std::size_t size) {
    char bytes[8];
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    out.append(bytes, size);
}

bool is_integer(ValueType type) {
    switch (type) {
        case ValueType::kU8: case ValueType::kI8: case ValueType::kU16: case ValueType::kI16:
        case ValueType::kU32: case ValueType::kI32: case ValueType::kU64: case ValueType::kI64:
            return true;
        default:
            return false;
    }
}

bool is_signed(ValueType type) {
    return type == ValueType::kI8 || type == ValueType::kI16 || type == ValueType::kI32 || type == ValueType::kI64;
}

// A double as the nearest float, past the float range an infinity (a plain
// conversion of such a value is undefined).
float to_float(double value) {
    if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// Whether `number` is a value of the integer type `type`.
bool holds(ValueType type, std::uint64_t number) {
    std::uint64_t bits = 8 * scalar_size(type) - (is_signed(type) ? 1 : 0);
    return bits >= 64 || number < (std::uint64_t{1} << bits);
}

// One integer of `type` at `bytes`, sign-extended where the type is signed.
std::int64_t integer_at(const char* bytes, ValueType type) {
    std::size_t size = static_cast<std::size_t>(scalar_size(type));
    std::uint64_t raw = load_le(bytes, size);
    if (is_signed(type) && size < 8 && (raw >> (8 * size - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(raw);
}

}  // namespace

std::uint64_t scalar_size(ValueType type) {
    switch (type) {
        case ValueType::kU8: case ValueType::kI8: case ValueType::kBool: return 1;
        case ValueType::kU16: case ValueType::kI16: return 2;
        case ValueType::kU32: case ValueType::kI32: case ValueType::kF32: return 4;
        case ValueType::kU64: case ValueType::kI64: case ValueType::kF64: return 8;
        default: return 0;
    }
}

bool is_known(std::uint32_t type) { return type <= static_cast<std::uint32_t>(ValueType::kF64); }

std::string value_type_name(ValueType type) {
    static const char* const kNames[] = {"u8",  "i8",    "u16",   "i16", "u32", "i32", "f32",
                                         "bool", "string", "array", "u64", "i64", "f64"};
    auto index = static_cast<std::uint32_t>(type);
    return is_known(index) ? kNames[index] : "type " + std::to_string(index);
}

std::optional<std::string> as_string(const Value& value) {
    if (value.type != ValueType::kString || value.bytes.size() < 8) return std::nullopt;
    return value.bytes.substr(8);
}

std::optional<std::uint64_t> as_unsigned(const Value& value) {
    if (!is_integer(value.type) || value.bytes.size() != scalar_size(value.type)) return std::nullopt;
    std::int64_t number = integer_at(value.bytes.data(), value.type);
    if (is_signed(value.type) && number < 0) return std::nullopt;
    return is_signed(value.type) ? static_cast<std::uint64_t>(number) : load_le(value.bytes.data(), value.bytes.size());
}

std::optional<bool> as_bool(const Value& value) {
    if (value.type != ValueType::kBool || value.bytes.size() != 1) return std::nullopt;
    return value.bytes[0] != 0;
}

std::optional<std::vector<std::string>> as_string_array(const Value& value) {
    if (value.type != ValueType::kArray || value.element_type != ValueType::kString) return std::nullopt;
    std::vector<std::string> items;
    items.reserve(static_cast<std::size_t>(value.count));
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < value.count; ++i) {
        if (value.bytes.size() - at < 8) return std::nullopt;
        std::uint64_t length = load_le(value.bytes.data() + at, 8);
        at += 8;
        if (value.bytes.size() - at < length) return std::nullopt;
        items.emplace_back(value.bytes.data() + at, static_cast<std::size_t>(length));
        at += static_cast<std::size_t>(length);
    }
    return items;
}

std::optional<std::vector<float>> as_float_array(const Value& value) {
    if (value.type != ValueType::kArray) return std::nullopt;
    std::uint64_t size = scalar_size(value.element_type);
    if (size == 0 || value.bytes.size() != size * value.count) return std::nullopt;
    std::vector<float> items(static_cast<std::size_t>(value.count));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const char* at = value.bytes.data() + i * size;
        if (value.element_type == ValueType::kF32)
            items[i] = std::bit_cast<float>(static_cast<std::uint32_t>(load_le(at, 4)));
        else if (value.element_type == ValueType::kF64)
            items[i] = to_float(std::bit_cast<double>(load_le(at, 8)));
        else if (is_integer(value.element_type))
            items[i] = static_cast<float>(integer_at(at, value.element_type));
        else
            return std::nullopt;
    }
    return items;
}

std::optional<std::vector<std::int64_t>> as_integer_array(const Value& value) {
    if (value.type != ValueType::kArray || !is_integer(value.element_type)) return std::nullopt;
    std::uint64_t size = scalar_size(value.element_type);
    if (value.bytes.size() != size * value.count) return std::nullopt;
    std::vector<std::int64_t> items(static_cast<std::size_t>(value.count));
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = integer_at(value.bytes.data() + i * size, value.element_type);
    return items;
}

Value string_value(std::string_view text) {
    Value value{ValueType::kString, ValueType::kU8, 0, {}};
    append_string(value.bytes, text);
    return value;
}

Value string_array(const std::vector<std::string>& items) {
    Value value{ValueType::kArray, ValueType::kString, items.size(), {}};
    std::size_t total = 0;
    for (const std::string& item : items) total += 8 + item.size();
    value.bytes.reserve(total);
    for (const std::string& item : items) append_string(value.bytes, item);
    return value;
}

Value f32_array(const std::vector<float>& items) {
    Value value{ValueType::kArray, ValueType::kF32, items.size(), {}};
    value.bytes.reserve(items.size() * 4);
    for (float item : items) append_le(value.bytes, std::bit_cast<std::uint32_t>(item), 4);
    return value;
}

Value i32_array(const std::vector<std::int32_t>& items) {
    Value value{ValueType::kArray, ValueType::kI32, items.size(), {}};
    value.bytes.reserve(items.size() * 4);
    for (std::int32_t item : items) append_le(value.bytes, static_cast<std::uint32_t>(item), 4);
    return value;
}

Value integer_like(const Value& like, std::uint64_t number) {
    ValueType type = is_integer(like.type) ? like.type : ValueType::kU32;
    if (!holds(type, number)) type = holds(ValueType::kU32, number) ? ValueType::kU32 : ValueType::kU64;
    Value value{type, ValueType::kU8, 0, {}};
    append_le(value.bytes, number, static_cast<std::size_t>(scalar_size(type)));
    return value;
}

void append_u32(std::string& out, std::uint32_t value) { append_le(out, value, 4); }
void append_u64(std::string& out, std::uint64_t value) { append_le(out, value, 8); }

void append_string(std::string& out, std::string_view text) {
    append_u64(out, text.size());
    out.append(text);
}

void append_key_value(std::string& out, const KeyValue& pair) {
    append_string(out, pair.key);
    append_u32(out, static_cast<std::uint32_t>(pair.value.type));
    if (pair.value.type == ValueType::kArray) {
        append_u32(out, static_cast<std::uint32_t>(pair.value.element_type));
        append_u64(out, pair.value.count);
    }
    out.append(pair.value.bytes);
}

}  // namespace vocarix::gguf
