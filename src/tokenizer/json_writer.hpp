// Writers for the two document layouts (declaration order for strings,
// sorted keys with the vocabulary by id for files) and the shared
// pretty-printing rules: two-space indent, raw non-ASCII, shortest floats.
#pragma once

#include <string>
#include <string_view>

#include "editor_state.hpp"
#include "document.hpp"
#include "json_value.hpp"

namespace vocarix {

// Shortest text that reads back to the same double: plain decimal for
// 1e-5 <= |v| < 1e16 (".0" on integral values), exponent form otherwise.
// Non-finite values are written as null.
std::string format_double(double value);

// The document with keys in declaration order and the vocabulary in key order.
std::string write_document_text(const EditorState& state);

// The document with every object's keys sorted and the vocabulary by ascending id.
std::string write_document_file_text(const EditorState& state);

// One opaque value, pretty-printed at indentation level 0.
std::string write_json_value(const JsonValue& value);

// One opaque value as compact text, the form CompactJson holds.
CompactJson compact_json(const JsonValue& value);

}  // namespace vocarix
