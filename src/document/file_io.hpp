// Reading and writing whole files. Failures throw DocumentError with the
// outer message; the system's detail is kept as its cause.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "document/json_writer.hpp"
#include "document/text_buffer.hpp"

namespace vocarix {

// Reads a whole file; throws DocumentError("Failed to read: <path>") on failure.
TextBuffer read_file(const std::string& path);

// Makes text by handing it to a sink piece by piece.
using TextProducer = std::function<void(const TextSink&)>;

// Writes the produced text to `path`, replacing its contents; throws
// DocumentError("Failed to write: <path>").
void write_file(const std::string& path, const TextProducer& produce);

}  // namespace vocarix
