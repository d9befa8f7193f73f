// Reader for tokenizer.json documents: a streaming parser for this one
// document type that builds the interned vocabulary and merge list directly.
#pragma once

#include <memory>
#include <string_view>

#include "state/editor_state.hpp"
#include "document/json_value.hpp"

namespace vocarix {

// Arrays and objects nested this deep (counting the document itself) are refused.
inline constexpr int kMaxJsonDepth = 128;

// Parses a whole tokenizer document. Throws ParseError with a description
// ending in " at line L column C". The model type is not checked here.
// Strings holding invalid UTF-8 fail with "invalid UTF-8".
std::unique_ptr<EditorState> parse_tokenizer_text(std::string_view text);

// Parses one standalone JSON value (opaque sections, tests, tools).
JsonValue parse_json_value(std::string_view text);

}  // namespace vocarix
