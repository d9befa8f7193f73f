// The script of a character (Unicode's Script property) as the runtime's
// UnicodeScripts pre-tokenizer sees it: the scripts come from the tables of
// the regular-expression engine, and a character that the runtime's own
// table lacks (one Unicode 9.0 had not assigned yet) belongs to none.
#pragma once

#include <cstdint>

namespace vocarix {

inline constexpr int kNoScript = -1;

// A number per script, equal for characters of one script; kNoScript for a
// character of no script.
int script_of(std::uint32_t cp);

}  // namespace vocarix
