#include "weights/safetensors_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <unordered_set>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/json_cursor.hpp"
#include "document/json_output.hpp"
#include "document/text.hpp"
#include "weights/weights_error.hpp"

namespace vocarix::weights {
namespace {

struct DtypeInfo {
    Dtype dtype;
    std::string_view name;
    std::uint64_t bits;
};

constexpr std::array<DtypeInfo, 20> kDtypes{{
    {Dtype::kF64, "F64", 64},       {Dtype::kF32, "F32", 32},         {Dtype::kF16, "F16", 16},
    {Dtype::kBF16, "BF16", 16},     {Dtype::kI64, "I64", 64},         {Dtype::kI32, "I32", 32},
    {Dtype::kI16, "I16", 16},       {Dtype::kI8, "I8", 8},            {Dtype::kU8, "U8", 8},
    {Dtype::kBool, "BOOL", 8},      {Dtype::kU16, "U16", 16},         {Dtype::kU32, "U32", 32},
    {Dtype::kU64, "U64", 64},       {Dtype::kF8E4M3, "F8_E4M3", 8},   {Dtype::kF8E5M2, "F8_E5M2", 8},
    {Dtype::kF8E8M0, "F8_E8M0", 8}, {Dtype::kC64, "C64", 64},         {Dtype::kF4, "F4", 4},
    {Dtype::kF6E2M3, "F6_E2M3", 6}, {Dtype::kF6E3M2, "F6_E3M2", 6},
}};

const DtypeInfo& info_of(Dtype dtype) {
    for (const DtypeInfo& info : kDtypes)
        if (info.dtype == dtype) return info;
    return kDtypes[1];
}

std::string shape_text(const std::vector<std::uint64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

std::string offsets_text(const TensorEntry& tensor) {
    return "[" + std::to_string(tensor.begin) + ", " + std::to_string(tensor.end) + "]";
}

// Reads the header JSON into entries; positions in its messages are the JSON's.
class HeaderCursor : public JsonCursor {
public:
    using JsonCursor::JsonCursor;

    SafetensorsHeader parse() {
        SafetensorsHeader header;
        skip_ws();
        if (at_end() || peek() != '{') fail_type("a map of tensor names to tensors");
        std::unordered_set<std::string> names;
        bool seen_metadata = false;
        for_each_member([&](std::string_view key_view) {
            std::string key(key_view);
            expect_colon();
            if (key == "__metadata__") {
                if (seen_metadata) fail("`__metadata__` given twice", p_);
                seen_metadata = true;
                header.metadata = parse_metadata();
                return;
            }
            if (!names.insert(key).second) fail("tensor " + debug_quoted(key) + " given twice", p_);
            header.tensors.push_back(parse_tensor(std::move(key)));
        });
        expect_end();
        return header;
    }

private:
    void expect_colon() {
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing an object");
        if (peek() != ':') fail("expected `:`", p_ + 1);
        ++p_;
    }

    std::optional<std::vector<std::pair<std::string, std::string>>> parse_metadata() {
        skip_ws();
        if (!at_end() && peek() == 'n') {
            parse_literal("null");
            return std::nullopt;
        }
        if (at_end() || peek() != '{') fail_type("a map of strings to strings for `__metadata__`");
        std::vector<std::pair<std::string, std::string>> metadata;
        std::unordered_set<std::string> keys;
        for_each_member([&](std::string_view key_view) {
            std::string key(key_view);
            if (!keys.insert(key).second) fail("`__metadata__` key " + debug_quoted(key) + " given twice", p_);
            expect_colon();
            metadata.emplace_back(std::move(key), read_string());
        });
        return metadata;
    }

    TensorEntry parse_tensor(std::string name) {
        TensorEntry tensor;
        tensor.name = std::move(name);
        skip_ws();
        if (at_end() || peek() != '{') fail_type("an object with dtype, shape and data_offsets");
        bool has_dtype = false, has_shape = false, has_offsets = false;
        auto once = [&](bool& seen, std::string_view field) {
            if (seen) fail("duplicate field `" + std::string(field) + "`", p_);
            seen = true;
        };
        for_each_member([&](std::string_view field_view) {
            std::string field(field_view);
            expect_colon();
            if (field == "dtype") {
                once(has_dtype, field);
                skip_ws();
                const char* start = p_;
                std::string dtype = read_string();
                std::optional<Dtype> known = dtype_named(dtype);
                if (!known) fail("unknown dtype " + debug_quoted(dtype), start + 1);
                tensor.dtype = *known;
            } else if (field == "shape") {
                once(has_shape, field);
                tensor.shape = read_u64_list("shape");
            } else if (field == "data_offsets") {
                once(has_offsets, field);
                std::vector<std::uint64_t> offsets = read_u64_list("data_offsets");
                if (offsets.size() != 2) fail("data_offsets must hold two numbers, [begin, end]", p_);
                tensor.begin = offsets[0];
                tensor.end = offsets[1];
            } else {
                fail("unknown field `" + field + "`, expected `dtype`, `shape` or `data_offsets`", p_);
            }
        });
        const char* missing = !has_dtype ? "dtype" : !has_shape ? "shape" : !has_offsets ? "data_offsets" : nullptr;
        if (missing) fail("missing field `" + std::string(missing) + "` of tensor " + debug_quoted(tensor.name), p_);
        return tensor;
    }

    std::vector<std::uint64_t> read_u64_list(std::string_view field) {
        skip_ws();
        if (at_end() || peek() != '[') fail_type("a list of integers for `" + std::string(field) + "`");
        std::vector<std::uint64_t> values;
        for_each_element([&](std::size_t) { values.push_back(read_u64()); });
        return values;
    }

    std::uint64_t read_u64() {
        skip_ws();
        if (at_end() || (peek() != '-' && (peek() < '0' || peek() > '9'))) fail_type("u64");
        NumberText number = scan_number();
        std::uint64_t value = 0;
        const char* last = number.text.data() + number.text.size();
        if (number.integer && !number.negative) {
            auto [ptr, ec] = std::from_chars(number.text.data(), last, value);
            if (ec == std::errc() && ptr == last) return value;
        }
        fail("invalid value: " + std::string(number.text) + ", expected an integer from 0 to 2^64 - 1", p_);
    }
};

// Checks what the JSON alone cannot: that every shape fits its offsets and
// the tensors tile the data exactly. Sorts the tensors by their data.
void check_layout(SafetensorsHeader& header) {
    for (const TensorEntry& tensor : header.tensors) {
        std::uint64_t bits = item_bits(tensor.dtype);
        for (std::uint64_t dimension : tensor.shape)
            if (dimension != 0 && bits > UINT64_MAX / dimension)
                throw WeightsError("tensor " + debug_quoted(tensor.name) + ": shape " + shape_text(tensor.shape) +
                                   " is too large");
            else
                bits *= dimension;
        if (bits % 8 != 0)
            throw WeightsError("tensor " + debug_quoted(tensor.name) + ": shape " + shape_text(tensor.shape) + " of " +
                               std::string(dtype_name(tensor.dtype)) + " does not fill a whole number of bytes");
        std::uint64_t bytes = bits / 8;
        if (tensor.end < tensor.begin)
            throw WeightsError("tensor " + debug_quoted(tensor.name) + ": data_offsets " + offsets_text(tensor) +
                               " end before they begin");
        if (tensor.end > header.data_size)
            throw WeightsError("tensor " + debug_quoted(tensor.name) + ": data_offsets " + offsets_text(tensor) +
                               " run past the end of the data (" + std::to_string(header.data_size) + " bytes)");
        if (bytes != tensor.byte_size())
            throw WeightsError("tensor " + debug_quoted(tensor.name) + ": shape " + shape_text(tensor.shape) + " of " +
                               std::string(dtype_name(tensor.dtype)) + " needs " + std::to_string(bytes) +
                               " bytes, but data_offsets " + offsets_text(tensor) + " hold " +
                               std::to_string(tensor.byte_size()));
    }
    std::stable_sort(header.tensors.begin(), header.tensors.end(), [](const TensorEntry& a, const TensorEntry& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::uint64_t covered = 0;
    const TensorEntry* previous = nullptr;
    for (const TensorEntry& tensor : header.tensors) {
        if (tensor.begin < covered)
            throw WeightsError("tensors " + debug_quoted(previous->name) + " " + offsets_text(*previous) + " and " +
                               debug_quoted(tensor.name) + " " + offsets_text(tensor) + " overlap");
        if (tensor.begin > covered)
            throw WeightsError("bytes " + std::to_string(covered) + " to " + std::to_string(tensor.begin) +
                               " of the data belong to no tensor");
        covered = tensor.end;
        previous = &tensor;
    }
    if (covered != header.data_size)
        throw WeightsError("the data holds " + std::to_string(header.data_size) + " bytes, but the tensors end at byte " +
                           std::to_string(covered));
}

// Reads exactly `size` bytes at `offset`; false at an early end of file.
bool read_exactly(int fd, char* out, std::uint64_t size, std::uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        if (n == 0) return false;
        out += n;
        size -= static_cast<std::uint64_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// The header of a file of `file_size` bytes; WeightsError without the file's name.
SafetensorsHeader read_header_of(int fd, std::uint64_t file_size) {
    if (file_size < 8)
        throw WeightsError("its " + std::to_string(file_size) + " bytes cannot hold the 8-byte header length");
    unsigned char length_bytes[8];
    if (!read_exactly(fd, reinterpret_cast<char*>(length_bytes), 8, 0)) throw WeightsError("the file ended while reading");
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | length_bytes[i];
    if (length > kMaxHeaderSize)
        throw WeightsError("header length " + std::to_string(length) + " is over the limit of " +
                           std::to_string(kMaxHeaderSize) + " bytes");
    if (length > file_size - 8)
        throw WeightsError("header length " + std::to_string(length) + " runs past the end of the file (" +
                           std::to_string(file_size) + " bytes)");
    std::string json(length, '\0');
    if (!read_exactly(fd, json.data(), length, 8)) throw WeightsError("the file ended while reading");
    return parse_safetensors_header(json, file_size - 8 - length);
}

}  // namespace

std::string_view dtype_name(Dtype dtype) { return info_of(dtype).name; }

std::optional<Dtype> dtype_named(std::string_view name) {
    for (const DtypeInfo& info : kDtypes)
        if (info.name == name) return info.dtype;
    return std::nullopt;
}

std::uint64_t item_bits(Dtype dtype) { return info_of(dtype).bits; }

std::uint64_t item_size(Dtype dtype) { return info_of(dtype).bits / 8; }

bool can_average(Dtype dtype) { return dtype == Dtype::kF32 || dtype == Dtype::kF16 || dtype == Dtype::kBF16; }

const TensorEntry* SafetensorsHeader::find(std::string_view name) const {
    for (const TensorEntry& tensor : tensors)
        if (tensor.name == name) return &tensor;
    return nullptr;
}

SafetensorsHeader parse_safetensors_header(std::string_view json, std::uint64_t data_size) {
    SafetensorsHeader header;
    try {
        header = HeaderCursor(json).parse();
    } catch (const ParseError& error) {
        throw WeightsError(std::string("header JSON: ") + error.what());
    }
    header.header_size = json.size();
    header.data_size = data_size;
    check_layout(header);
    return header;
}

SafetensorsHeader read_safetensors_header(int fd, std::uint64_t file_size, const std::string& path) {
    try {
        return read_header_of(fd, file_size);
    } catch (const WeightsError& error) {
        throw WeightsError(path + ": not a valid safetensors file: " + error.what());
    } catch (const std::system_error& error) {
        throw DocumentError("Failed to read: " + debug_quoted(path), std::strerror(error.code().value()));
    }
}

SafetensorsHeader read_safetensors_header(const std::string& path) {
    auto failure = [&](int error) { return DocumentError("Failed to read: " + debug_quoted(path), std::strerror(error)); };
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw failure(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw failure(errno);
    if (!S_ISREG(info.st_mode)) throw DocumentError("Failed to read: " + debug_quoted(path), "not a regular file");
    return read_safetensors_header(file.get(), static_cast<std::uint64_t>(info.st_size), path);
}

std::string safetensors_prefix(const std::vector<TensorEntry>& tensors,
                               const std::optional<std::vector<std::pair<std::string, std::string>>>& metadata) {
    JsonOutput out(256 + 128 * tensors.size(), /*pretty=*/false);
    out.put('{');
    bool first = true;
    if (metadata) {
        out.put_string("__metadata__");
        out.put(":{");
        for (std::size_t i = 0; i < metadata->size(); ++i) {
            if (i) out.put(',');
            out.put_string((*metadata)[i].first);
            out.put(':');
            out.put_string((*metadata)[i].second);
        }
        out.put('}');
        first = false;
    }
    for (const TensorEntry& tensor : tensors) {
        if (!first) out.put(',');
        first = false;
        out.put_string(tensor.name);
        out.put(":{\"dtype\":\"");
        out.put(dtype_name(tensor.dtype));
        out.put("\",\"shape\":[");
        for (std::size_t i = 0; i < tensor.shape.size(); ++i) {
            if (i) out.put(',');
            out.put_uint(tensor.shape[i]);
        }
        out.put("],\"data_offsets\":[");
        out.put_uint(tensor.begin);
        out.put(',');
        out.put_uint(tensor.end);
        out.put("]}");
    }
    out.put('}');
    std::string json(out.view());
    json.append((8 - json.size() % 8) % 8, ' ');
    std::string prefix(8, '\0');
    std::uint64_t length = json.size();
    for (int i = 0; i < 8; ++i) prefix[static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return prefix + json;
}

}  // namespace vocarix::weights
