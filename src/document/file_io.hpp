// Reading and writing whole files. Failures throw DocumentError with the
// outer message; the system's detail is kept as its cause.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "document/json_writer.hpp"
#include "document/text_buffer.hpp"

namespace vocarix {

// Pipes and devices have no size to go by: reading one fails ("Failed to
// read: <path>") once it passes this many bytes, unless the caller allows more.
inline constexpr std::uint64_t kDefaultStreamSizeLimit = std::uint64_t{1} << 30;

struct ReadOptions {
    // Most bytes read from a file that is not a regular file.
    std::uint64_t stream_size_limit = kDefaultStreamSizeLimit;
    // Called while the read waits for input (at least every 100 ms) and
    // between chunks (every 50 ms or so); returning false abandons the read
    // with ReadInterrupted. It must not throw.
    std::function<bool()> keep_going;
};

// Reads a whole file; throws DocumentError("Failed to read: <path>") on
// failure. A file that is not regular is read only as far as it can still be
// a document: the text then ends at the first byte that rules it out, and
// `ended_early` (when given) is set.
TextBuffer read_file(const std::string& path, const ReadOptions& options = {}, bool* ended_early = nullptr);

// Makes text by handing it to a sink piece by piece.
using TextProducer = std::function<void(const TextSink&)>;

// Writes the produced text to `path`, replacing its contents; throws
// DocumentError("Failed to write: <path>").
void write_file(const std::string& path, const TextProducer& produce);

// Writes the produced text through `fd` as it comes (a new file that
// `path` names, for messages); throws DocumentError("Failed to write: <path>").
void write_produced(int fd, const TextProducer& produce, const std::string& path);

}  // namespace vocarix
