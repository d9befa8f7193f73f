// Reader for tokenizer.json documents: a streaming parser for this one
// document type that builds the interned vocabulary and merge list directly.
#pragma once

#include <string_view>

#include "document/json_cursor.hpp"
#include "document/json_value.hpp"
#include "document/records.hpp"

namespace vocarix {

enum class ReadMode {
    kStrict,   // the current form only
    kLenient,  // also what older runtimes and trainers wrote; the form is recorded
};

// Parses a whole tokenizer document. Throws ParseError with a description
// ending in " at line L column C". The model type is not checked here.
// Strings holding invalid UTF-8 fail with "invalid UTF-8".
//
// The lenient mode also reads merges written as "a b" strings or as an
// empty object, a null unk_token, and documents that leave out any field but
// the model's vocab and merges (an absent model type is read as "BPE",
// absent flags as false); members it does not know are kept. The records'
// form records all of it, so writing gives the same form back.
DocumentRecords read_tokenizer_document(std::string_view text, ReadMode mode = ReadMode::kStrict);

// Parses one standalone JSON value (opaque sections, tests, tools).
JsonValue parse_json_value(std::string_view text);

}  // namespace vocarix
