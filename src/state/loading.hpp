// Editors from documents and documents from editors: parsing and loading
// into an editor state, and writing one out.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "document/file_io.hpp"
#include "document/json_reader.hpp"
#include "document/json_writer.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// Parses a whole document into a new editor state; throws ParseError (see
// read_tokenizer_document). The model type is not checked here.
std::unique_ptr<EditorState> parse_tokenizer_text(std::string_view text, ReadMode mode = ReadMode::kStrict);

// Reads, parses and checks a tokenizer file ("Failed to read: <path>",
// "Failed to parse tokenizer.json", "Only BPE tokenizers are supported").
// `options` bound reading a pipe or device and let the caller interrupt it.
std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path, ReadMode mode = ReadMode::kStrict,
                                                 const ReadOptions& options = {});

// Checks a parsed document's model type and gives back the room loading left.
void finish_loaded_document(EditorState& state);

// Writes the file text as it is made ("Failed to write: <path>").
void save_tokenizer_file(const EditorState& state, const std::string& path);

// The document text in either layout (see json_writer.hpp).
WrittenText write_document_text(const EditorState& state);
WrittenText write_document_file_text(const EditorState& state);

}  // namespace vocarix
