// The JSON objects of token -> id that the slow tokenizer's files hold:
// vocab.json (the model's vocabulary) and added_tokens.json (the tokens
// added past it). Read strictly (an object of strings to whole numbers
// below 2^32, no key twice) and written back with the layout the file had:
// its indentation and separators, ASCII escapes or raw text, entries by id
// or by key, and the final line break or none.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vocarix::formats {

struct TokenIdsLayout {
    // The text between '{' and the first key, between a ',' and the next
    // key, and between the last value and '}'.
    std::string opening;
    std::string after_comma = " ";
    std::string closing;
    // Between a key and its value: ": " or ":" (and whatever else was there).
    std::string key_separator = ": ";
    // Every character past ASCII written as \uXXXX (as Python's json module does by default).
    bool ascii_escapes = false;
    // Entries in ascending id order; otherwise in ascending key order.
    bool by_id = true;
    // What follows the closing '}' (a line break, or nothing).
    std::string tail;
};

// The layout of json.dumps(..., indent=2, sort_keys=True, ensure_ascii=False) + "\n",
// what a file gets when the folder has none to copy.
TokenIdsLayout default_token_ids_layout();

using TokenIds = std::vector<std::pair<std::string, std::uint32_t>>;

struct TokenIdsFile {
    TokenIds entries;  // in file order
    TokenIdsLayout layout;
};

// FormatError "<file_name>: ..." for text that is no such object.
TokenIdsFile read_token_ids(std::string_view text, std::string_view file_name);

// The entries (in any order) as text in `layout`.
std::string write_token_ids(TokenIds entries, const TokenIdsLayout& layout);

}  // namespace vocarix::formats
