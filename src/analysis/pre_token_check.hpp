// Whether the file's pre-tokenizer hands a word to the model whole. The
// model only ever sees one pre-token at a time, so a word the pre-tokenizer
// splits apart (a byte-level word with a space inside, a word with
// punctuation under a splitting pre-tokenizer) is never produced as one
// token, whatever merges it gets.
//
// Words are given as the model receives them (its own alphabet: "Ġ" or "▁"
// for a space). Understood: ByteLevel (its regex), Metaspace, Whitespace,
// WhitespaceSplit, BertPreTokenizer, Punctuation, Digits, CharDelimiterSplit,
// Split on a string, Split on the regular expressions that byte-level files
// use (the classic one and the family that takes up to three digits, or one,
// at a time), and Sequence of these; and a BertNormalizer that puts spaces
// around Chinese characters. Anything else, a Split on another regular
// expression among them, is left undecided.
//
// The same reading of the settings tells what the normalizer and the
// pre-tokenizer do to a word's form (TextPipeline): word_forms.hpp uses it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

enum class PreTokenVerdict : std::uint8_t { kWhole, kSplit, kUndecided };

// What the normalizer and the pre-tokenizer do to a word, as far as its
// stored form depends on it.
struct TextPipeline {
    bool byte_level = false;  // words reach the model in the byte-level alphabet
    bool lowercases = false;  // a Lowercase normalizer, or a BertNormalizer that lower-cases
    // The start of the text gets the mark a space would give (a Prepend
    // normalizer, Metaspace's prepend scheme, ByteLevel's add_prefix_space).
    bool marks_text_start = false;
};

class PreTokenCheck {
public:
    explicit PreTokenCheck(const EditorState& state);

    PreTokenVerdict check(std::string_view word) const;
    // The first pre-tokenizer the check cannot judge ("Split with a regex",
    // "UnicodeScripts", ...); empty when it judges them all.
    const std::string& undecided_by() const { return undecided_by_; }
    const TextPipeline& pipeline() const { return pipeline_; }

    struct Step {
        enum class Kind : std::uint8_t {
            kByteLevelRegex, kMetaspaceSplit, kWhitespace, kWhitespaceSplit, kBert, kPunctuation, kDigits,
            kDelimiter, kSplitString, kHanIsolated, kSplitRegex,
        };
        Kind kind;
        std::string text;        // Metaspace replacement, delimiter, Split pattern
        std::string behavior;    // Split and Punctuation behavior
        bool individual = false; // Digits: individual_digits
        std::uint8_t pattern = 0; // kSplitRegex: which known expression
    };

private:
    void read_normalizer(const std::string& section);
    void read_pre_tokenizer(const std::string& section);

    std::vector<Step> steps_;
    TextPipeline pipeline_;
    std::string undecided_by_;
};

}  // namespace vocarix
