// Which characters older Unicode versions had assigned. Parts of the
// tokenizer runtime carry tables of Unicode 8.0 (its punctuation, control
// and mark classes) and 9.0 (its script table and normalization forms): to
// them a character assigned later is unknown, and is treated as such here.
#pragma once

#include <cstdint>

#include "document/unicode_classes.hpp"

namespace vocarix {

bool assigned_in_unicode_8(std::uint32_t cp);
bool assigned_in_unicode_9(std::uint32_t cp);

}  // namespace vocarix
