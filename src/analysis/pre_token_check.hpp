// Whether the file's pre-tokenizer hands a word to the model whole. The
// model only ever sees one pre-token at a time, so a word the pre-tokenizer
// splits apart (a byte-level word with a space inside, a word with
// punctuation under a splitting pre-tokenizer) is never produced as one
// token, whatever merges it gets.
//
// Words are given as the model receives them (its own alphabet: "Ġ" or "▁"
// for a space). Understood: ByteLevel (its regex), Metaspace, Whitespace,
// WhitespaceSplit, BertPreTokenizer, Punctuation, Digits, CharDelimiterSplit,
// Split on a string, and Sequence of these; and a BertNormalizer that puts
// spaces around Chinese characters. Anything else, a Split on a regular
// expression among them, is left undecided.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

enum class PreTokenVerdict : std::uint8_t { kWhole, kSplit, kUndecided };

class PreTokenCheck {
public:
    explicit PreTokenCheck(const EditorState& state);

    PreTokenVerdict check(std::string_view word) const;
    // The first pre-tokenizer the check cannot judge ("Split with a regex",
    // "UnicodeScripts", ...); empty when it judges them all.
    const std::string& undecided_by() const { return undecided_by_; }

    struct Step {
        enum class Kind : std::uint8_t {
            kByteLevelRegex, kMetaspaceSplit, kWhitespace, kWhitespaceSplit, kBert, kPunctuation, kDigits,
            kDelimiter, kSplitString, kHanIsolated,
        };
        Kind kind;
        std::string text;        // Metaspace replacement, delimiter, Split pattern
        std::string behavior;    // Split and Punctuation behavior
        bool individual = false; // Digits: individual_digits
    };

private:
    std::vector<Step> steps_;
    bool byte_level_ = false;  // the words are in the byte-level alphabet
    std::string undecided_by_;
};

}  // namespace vocarix
