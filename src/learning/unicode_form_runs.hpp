// The Unicode normalization forms and lower-casing as the runtime applies
// them. Its normalization tables are Unicode 9.0's: a character assigned
// later passes through as it is, and nothing combines or reorders across
// it. Its lower-casing maps each character on its own. The Unicode data
// come from outside the core (UnicodeForms); text that a form provably
// leaves as it is never goes there, so plain text costs a copy.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "document/unicode_classes.hpp"

namespace vocarix {

class UnicodeForms;

// `form`: "NFC", "NFD", "NFKC", "NFKD" or "lowercase". Writes the result to `out`.
void apply_unicode_form(UnicodeForms& forms, std::string_view form, std::string_view text, std::string& out);

// Whether `form` leaves all of `text` as it is (conservative: false may
// still mean no change).
bool unicode_form_keeps_text(std::string_view form, std::string_view text);

// The characters a normalization form leaves as they are wherever they
// stand: no decomposition for the form, canonical combining class 0, never
// the second half of a composition. Conservative: a character outside them
// only sends its text to the Unicode data.
std::span<const CodePointRange> unicode_form_kept_ranges(std::string_view form);

}  // namespace vocarix
