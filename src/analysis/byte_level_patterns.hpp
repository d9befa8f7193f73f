// The expressions byte-level files split text with, matched by hand because
// they run over every character of a corpus: the runtime's ByteLevel
// expression and the family that takes digits three (or one) at a time.
// Each of them matches at every character, so its matches tile the text;
// the tests compare them with the engine on random text.
#pragma once

#include <string_view>
#include <vector>

#include "analysis/pre_tokenizer.hpp"

namespace vocarix {

// ByteLevel's own expression.
inline constexpr std::string_view kByteLevelPattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

// Which hand-written matcher stands for `pattern`; kEngine for none.
PreTokenStep::Pattern known_pattern(std::string_view pattern);

// Appends the matches of a known pattern in `text` (valid UTF-8).
void match_known_pattern(PreTokenStep::Pattern pattern, std::string_view text, std::vector<TextSpan>& matches);

}  // namespace vocarix
