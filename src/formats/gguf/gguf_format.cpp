#include "formats/gguf/gguf_format.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/text.hpp"
#include "formats/gguf/gguf_error.hpp"
#include "formats/gguf/tensor_types.hpp"

namespace vocarix::gguf {
namespace {

constexpr std::uint32_t kMaxDims = 4;
// Arrays of arrays are allowed; deeper nesting than this is no real file's.
constexpr int kMaxArrayDepth = 4;
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

struct Lie {
    std::string why;
};

// Reads the header front to back through a buffer. Every length is checked
// against the bytes left in the file before it is used, and what is read can
// be captured as it goes (a value's encoding, kept whole).
class HeaderReader {
public:
    HeaderReader(int fd, std::uint64_t file_size, const std::string& path)
        : fd_(fd), file_size_(file_size), path_(path) {}

    std::uint64_t position() const { return position_; }
    std::uint64_t left() const { return file_size_ - position_; }

    void read(void* out, std::uint64_t size, const char* what) {
        if (size > left()) throw Lie{std::string(what) + " runs past the end of the file"};
        auto* bytes = static_cast<unsigned char*>(out);
        while (size > 0) {
            if (buffer_at_ == buffer_.size()) fill();
            std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer_.size() - buffer_at_));
            std::memcpy(bytes, buffer_.data() + buffer_at_, piece);
            if (capture_) capture_->append(reinterpret_cast<const char*>(buffer_.data() + buffer_at_), piece);
            buffer_at_ += piece;
            position_ += piece;
            bytes += piece;
            size -= piece;
        }
    }
    std::uint32_t u32(const char* what) {
        unsigned char bytes[4];
        read(bytes, 4, what);
        return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
               (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    }
    std::uint64_t u64(const char* what) {
        std::uint64_t low = u32(what);
        return low | (static_cast<std::uint64_t>(u32(what)) << 32);
    }
    std::string string(const char* what) {
        std::uint64_t length = u64(what);
        if (length > left()) throw Lie{std::string(what) + " says it holds " + std::to_string(length) +
                                       " bytes, past the end of the file"};
        std::string text(static_cast<std::size_t>(length), '\0');
        read(text.data(), length, what);
        return text;
    }
    // Every byte read from now on is appended to `out` (null: none).
    void capture(std::string* out) { capture_ = out; }

private:
    void fill() {
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, left())));
        std::size_t got = 0;
        while (got < buffer_.size()) {
            ssize_t n = ::pread(fd_, buffer_.data() + got, buffer_.size() - got, static_cast<off_t>(position_ + got));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw DocumentError("Failed to read: " + debug_quoted(path_), std::strerror(errno));
            }
            if (n == 0) throw Lie{"the file is shorter than its size says: it changed while it was read"};
            got += static_cast<std::size_t>(n);
        }
        buffer_at_ = 0;
    }

    int fd_;
    std::uint64_t file_size_;
    const std::string& path_;
    std::uint64_t position_ = 0;
    std::vector<unsigned char> buffer_;
    std::size_t buffer_at_ = 0;
    std::string* capture_ = nullptr;
};

ValueType checked_type(std::uint32_t type, const std::string& key) {
    if (!is_known(type)) throw Lie{"key " + debug_quoted(key) + " has an unknown value type " + std::to_string(type)};
    return static_cast<ValueType>(type);
}

// Reads (and so captures) one value's encoding after its type tag.
void skip_value(HeaderReader& in, ValueType type, const std::string& key, int depth) {
    if (std::uint64_t size = scalar_size(type)) {
        unsigned char scratch[8];
        in.read(scratch, size, "a value");
        return;
    }
    if (type == ValueType::kString) {
        std::uint64_t length = in.u64("a string's length");
        if (length > in.left())
            throw Lie{"a string of key " + debug_quoted(key) + " says it holds " + std::to_string(length) +
                      " bytes, past the end of the file"};
        std::vector<unsigned char> scratch(static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadChunk)));
        for (std::uint64_t done = 0; done < length;) {
            std::uint64_t piece = std::min<std::uint64_t>(length - done, scratch.size());
            in.read(scratch.data(), piece, "a string");
            done += piece;
        }
        return;
    }
    if (depth >= kMaxArrayDepth) throw Lie{"key " + debug_quoted(key) + " nests arrays too deeply"};
    ValueType element = checked_type(in.u32("an array's element type"), key);
    std::uint64_t count = in.u64("an array's length");
    // Each element takes at least this many bytes: a count the file cannot hold is refused before any is read.
    std::uint64_t least = element == ValueType::kString ? 8 : element == ValueType::kArray ? 12 : scalar_size(element);
    if (count > in.left() / least)
        throw Lie{"the array of key " + debug_quoted(key) + " says it holds " + std::to_string(count) +
                  " elements, more than the rest of the file can"};
    for (std::uint64_t i = 0; i < count; ++i) skip_value(in, element, key, depth + 1);
}

KeyValue read_key_value(HeaderReader& in) {
    KeyValue pair;
    pair.key = in.string("a key");
    pair.value.type = checked_type(in.u32("a value type"), pair.key);
    if (pair.value.type == ValueType::kArray) {
        std::string head;
        in.capture(&head);
        pair.value.element_type = checked_type(in.u32("an array's element type"), pair.key);
        pair.value.count = in.u64("an array's length");
        in.capture(nullptr);
        std::uint64_t least = pair.value.element_type == ValueType::kString  ? 8
                              : pair.value.element_type == ValueType::kArray ? 12
                                                                             : scalar_size(pair.value.element_type);
        if (pair.value.count > in.left() / least)
            throw Lie{"the array of key " + debug_quoted(pair.key) + " says it holds " +
                      std::to_string(pair.value.count) + " elements, more than the rest of the file can"};
        in.capture(&pair.value.bytes);
        for (std::uint64_t i = 0; i < pair.value.count; ++i) skip_value(in, pair.value.element_type, pair.key, 1);
    } else {
        in.capture(&pair.value.bytes);
        skip_value(in, pair.value.type, pair.key, 0);
    }
    in.capture(nullptr);
    return pair;
}

TensorInfo read_tensor_info(HeaderReader& in) {
    TensorInfo tensor;
    tensor.name = in.string("a tensor name");
    std::uint32_t dims = in.u32("a tensor's dimension count");
    if (dims == 0 || dims > kMaxDims)
        throw Lie{"tensor " + debug_quoted(tensor.name) + " has " + std::to_string(dims) + " dimensions (1 to 4 allowed)"};
    for (std::uint32_t i = 0; i < dims; ++i) tensor.dims.push_back(in.u64("a tensor's dimensions"));
    tensor.type = in.u32("a tensor's type");
    tensor.offset = in.u64("a tensor's offset");
    try {
        tensor.byte_size = tensor_bytes(tensor.type, tensor.dims);
    } catch (const GgufError& error) {
        throw Lie{"tensor " + debug_quoted(tensor.name) + ": " + error.what()};
    }
    return tensor;
}

std::uint64_t alignment_of(const std::vector<KeyValue>& metadata) {
    for (const KeyValue& pair : metadata) {
        if (pair.key != kAlignmentKey) continue;
        std::optional<std::uint64_t> value = as_unsigned(pair.value);
        if (!value || pair.value.type != ValueType::kU32 || *value == 0 || (*value & (*value - 1)) != 0)
            throw Lie{std::string(kAlignmentKey) + " is not a power of two held as u32"};
        return *value;
    }
    return kDefaultAlignment;
}

void check_tensors(const GgufHeader& header) {
    std::unordered_set<std::string_view> names;
    std::vector<const TensorInfo*> by_offset;
    std::uint64_t data_size = header.file_size - header.data_start;
    for (const TensorInfo& tensor : header.tensors) {
        std::string name = "tensor " + debug_quoted(tensor.name);
        if (!names.insert(tensor.name).second) throw Lie{name + " is listed twice"};
        if (tensor.offset % header.alignment != 0)
            throw Lie{name + " starts at offset " + std::to_string(tensor.offset) + ", not a multiple of the alignment " +
                      std::to_string(header.alignment)};
        if (tensor.offset > data_size || tensor.byte_size > data_size - tensor.offset)
            throw Lie{name + " (" + std::to_string(tensor.byte_size) + " bytes at offset " +
                      std::to_string(tensor.offset) + ") runs past the end of the file"};
        by_offset.push_back(&tensor);
    }
    std::sort(by_offset.begin(), by_offset.end(),
              [](const TensorInfo* a, const TensorInfo* b) { return a->offset < b->offset; });
    for (std::size_t i = 1; i < by_offset.size(); ++i)
        if (by_offset[i - 1]->offset + by_offset[i - 1]->byte_size > by_offset[i]->offset)
            throw Lie{"tensors " + debug_quoted(by_offset[i - 1]->name) + " and " + debug_quoted(by_offset[i]->name) +
                      " overlap"};
}

std::uint64_t align_up(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

GgufHeader parse_header(int fd, std::uint64_t file_size, const std::string& path) {
    HeaderReader in(fd, file_size, path);
    GgufHeader header;
    header.file_size = file_size;
    char magic[4];
    if (file_size < 4) throw Lie{"it is too short to be one (" + std::to_string(file_size) + " bytes)"};
    in.read(magic, 4, "the magic");
    if (std::memcmp(magic, "GGUF", 4) != 0) throw Lie{"it does not start with GGUF"};
    header.version = in.u32("the version");
    if (header.version != 2 && header.version != 3)
        throw Lie{"version " + std::to_string(header.version) + " is not supported (2 and 3 are)"};
    std::uint64_t tensor_count = in.u64("the tensor count");
    std::uint64_t key_count = in.u64("the metadata count");
    // A key takes at least 12 bytes and a tensor info 28: counts past what the file holds are refused at once.
    if (key_count > in.left() / 12) throw Lie{"it says it holds " + std::to_string(key_count) + " keys, more than the file can"};
    if (tensor_count > in.left() / 28)
        throw Lie{"it says it holds " + std::to_string(tensor_count) + " tensors, more than the file can"};
    std::unordered_set<std::string> keys;
    for (std::uint64_t i = 0; i < key_count; ++i) {
        header.metadata.push_back(read_key_value(in));
        if (!keys.insert(header.metadata.back().key).second)
            throw Lie{"key " + debug_quoted(header.metadata.back().key) + " is given twice"};
    }
    for (std::uint64_t i = 0; i < tensor_count; ++i) header.tensors.push_back(read_tensor_info(in));
    header.alignment = alignment_of(header.metadata);
    header.data_start = align_up(in.position(), header.alignment);
    if (header.data_start > file_size) throw Lie{"the data would start past the end of the file"};
    check_tensors(header);
    return header;
}

}  // namespace

std::uint64_t TensorInfo::rows() const {
    std::uint64_t rows = 1;
    for (std::size_t i = 1; i < dims.size(); ++i) rows *= dims[i];
    return rows;
}

const Value* GgufHeader::find(std::string_view key) const {
    for (const KeyValue& pair : metadata)
        if (pair.key == key) return &pair.value;
    return nullptr;
}

const TensorInfo* GgufHeader::tensor(std::string_view name) const {
    for (const TensorInfo& info : tensors)
        if (info.name == name) return &info;
    return nullptr;
}

std::uint64_t tensor_bytes(std::uint32_t type, const std::vector<std::uint64_t>& dims) {
    std::optional<TensorType> known = tensor_type(type);
    if (!known) throw GgufError("its type " + std::to_string(type) + " is not a known tensor type");
    if (dims.empty()) return 0;
    if (dims[0] % known->block_values != 0)
        throw GgufError("a row of " + std::to_string(dims[0]) + " values is not whole " + known->name + " blocks of " +
                        std::to_string(known->block_values));
    std::uint64_t bytes = dims[0] / known->block_values * known->block_bytes;
    for (std::size_t i = 1; i < dims.size(); ++i) {
        if (dims[i] != 0 && bytes > UINT64_MAX / dims[i]) throw GgufError("its size overflows");
        bytes *= dims[i];
    }
    return bytes;
}

std::uint64_t lay_out(std::vector<TensorInfo>& tensors, std::uint64_t alignment) {
    std::uint64_t offset = 0;
    for (TensorInfo& tensor : tensors) {
        tensor.offset = offset;
        offset = align_up(offset + tensor.byte_size, alignment);
    }
    return offset;
}

std::string gguf_prefix(std::uint32_t version, const std::vector<KeyValue>& metadata,
                        const std::vector<TensorInfo>& tensors, std::uint64_t alignment) {
    // Sized first: the token and merge lists make it megabytes.
    std::size_t size = 4 + 4 + 8 + 8;
    for (const KeyValue& pair : metadata) size += 8 + pair.key.size() + 4 + 12 + pair.value.bytes.size();
    for (const TensorInfo& tensor : tensors) size += 8 + tensor.name.size() + 4 + 8 * tensor.dims.size() + 4 + 8;
    std::string out;
    out.reserve(static_cast<std::size_t>(align_up(size, alignment)));
    out.append("GGUF");
    append_u32(out, version);
    append_u64(out, tensors.size());
    append_u64(out, metadata.size());
    for (const KeyValue& pair : metadata) append_key_value(out, pair);
    for (const TensorInfo& tensor : tensors) {
        append_string(out, tensor.name);
        append_u32(out, static_cast<std::uint32_t>(tensor.dims.size()));
        for (std::uint64_t dim : tensor.dims) append_u64(out, dim);
        append_u32(out, tensor.type);
        append_u64(out, tensor.offset);
    }
    out.resize(static_cast<std::size_t>(align_up(out.size(), alignment)), '\0');
    return out;
}

GgufHeader read_gguf_header(int fd, std::uint64_t file_size, const std::string& path) {
    try {
        return parse_header(fd, file_size, path);
    } catch (const Lie& lie) {
        throw GgufError(path + ": not a valid GGUF file: " + lie.why);
    }
}

GgufHeader read_gguf_header(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw DocumentError("Failed to read: " + debug_quoted(path), std::strerror(errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw DocumentError("Failed to read: " + debug_quoted(path), std::strerror(errno));
    if (!S_ISREG(info.st_mode)) throw DocumentError("Failed to read: " + debug_quoted(path), "not a regular file");
    return read_gguf_header(file.get(), static_cast<std::uint64_t>(info.st_size), path);
}

}  // namespace vocarix::gguf
