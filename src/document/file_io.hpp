// Loading and saving tokenizer files. Failures throw DocumentError with the
// outer message; the system's or parser's detail is kept as its cause.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "state/editor_state.hpp"
#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "document/text_buffer.hpp"

namespace vocarix {

// Reads, parses and checks a tokenizer file ("Failed to read: <path>",
// "Failed to parse tokenizer.json", "Only BPE tokenizers are supported").
std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path, ReadMode mode = ReadMode::kStrict);

// Checks a parsed document's model type and gives back the room loading left.
void finish_loaded_document(EditorState& state);

// Writes the file text as it is made ("Failed to write: <path>").
void save_tokenizer_file(const EditorState& state, const std::string& path);

// Reads a whole file; throws DocumentError("Failed to read: <path>") on failure.
TextBuffer read_file(const std::string& path);

// Makes text by handing it to a sink piece by piece.
using TextProducer = std::function<void(const TextSink&)>;

// Writes the produced text to `path`, replacing its contents; throws
// DocumentError("Failed to write: <path>").
void write_file(const std::string& path, const TextProducer& produce);

}  // namespace vocarix
