// The expressions the common byte-level files split text with, matched by
// hand because they run over every character of a corpus: the runtime's
// ByteLevel expression, the family that takes digits three (or one) at a
// time (Llama-3 and Qwen files), and the three of DeepSeek's Sequence. The
// character classes are the engine's own; the tests compare every matcher
// with the engine on random text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "analysis/pre_tokenizer.hpp"

namespace vocarix {

// ByteLevel's own expression.
inline constexpr std::string_view kByteLevelPattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

// `pattern` spelled one way among the spellings the engine reads alike, so
// that files writing the same expression differently are recognised: line
// breaks and tabs as \r \n \t, \" as ", and \uXXXX of a non-ASCII character
// as the character itself.
std::string canonical_spelling(std::string_view pattern);

// Which hand-written matcher stands for `pattern` (in any spelling
// canonical_spelling makes alike); kEngine for none.
PreTokenStep::Pattern known_pattern(std::string_view pattern);

// Hands the matches of a known pattern in `text` (valid UTF-8) to
// `on_match`, in order, as the runtime walks them (they need not cover the
// text). Keeps no state: `on_match` may match other text meanwhile.
void match_known_pattern(PreTokenStep::Pattern pattern, std::string_view text, SpanSink on_match);

}  // namespace vocarix
