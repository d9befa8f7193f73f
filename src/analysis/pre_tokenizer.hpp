// How the file's pre-tokenizer cuts normalized text into the words the BPE
// model receives, as the runtime does: each step splits every piece the
// steps before it left, and the byte-level and Metaspace steps also rewrite
// their pieces (a space prepended, the byte-level alphabet, "▁" for a space).
//
// Understood: ByteLevel (its regex), Metaspace, Whitespace,
// WhitespaceSplit, BertPreTokenizer, Punctuation, Digits,
// CharDelimiterSplit, Split on a string, Split (Isolated) on the regular
// expressions that byte-level files use (the classic one and the family
// that takes up to three digits, or one, at a time), and Sequence of these.
// Anything else, a Split on another regular expression among them, is named
// by unsupported_by(), and the splitting is then not the runtime's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/document.hpp"

namespace vocarix {

// What a split does with the places its pattern matches.
enum class SplitBehavior : std::uint8_t { kRemoved, kIsolated, kMergedWithPrevious, kMergedWithNext, kContiguous };

struct PreTokenStep {
    enum class Kind : std::uint8_t {
        kByteLevel, kMetaspace, kWhitespace, kWhitespaceSplit, kBert, kPunctuation, kDigits, kDelimiter,
        kSplitString, kSplitRegex,
        kHanIsolated,  // not a pre-tokenizer: the Bert normalizer's spaces around Chinese characters
    };
    // When Metaspace puts its marker before a piece that lacks it.
    enum class Prepend : std::uint8_t { kAlways, kFirst, kNever };

    Kind kind = Kind::kWhitespace;
    std::string text;  // Metaspace replacement, delimiter, Split pattern
    SplitBehavior behavior = SplitBehavior::kIsolated;
    bool invert = false;            // Split: the pieces are what the pattern does not match
    bool individual = false;        // Digits: every digit a piece of its own
    bool add_prefix_space = false;  // ByteLevel
    bool use_regex = true;          // ByteLevel
    bool split = true;              // Metaspace: split before each marker
    Prepend prepend = Prepend::kAlways;
    // kSplitRegex: which known expression.
    enum class Pattern : std::uint8_t { kClassic, kThreeDigits, kOneDigit } pattern = Pattern::kClassic;
};

struct PreTokenSteps {
    std::vector<PreTokenStep> steps;
    bool byte_level = false;      // the words are in the byte-level alphabet
    std::string unsupported_by;  // the first pre-tokenizer these rules cannot apply; empty when none
};

// The characters the Bert normalizer puts spaces around.
bool is_han_character(std::uint32_t cp);

// The steps of the file's pre-tokenizer, in the order they run.
PreTokenSteps read_pre_token_steps(const DocumentSections& sections);

struct TextSpan {
    std::size_t begin, end;  // bytes
};

// Where one step cuts `text` (valid UTF-8), leaving out what the step
// changes in the text: the pieces as byte spans, in order, none empty.
void split_by_step(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& pieces);

class PreTokenizer {
public:
    explicit PreTokenizer(const DocumentSections& sections);

    const std::string& unsupported_by() const { return steps_.unsupported_by; }
    bool byte_level() const { return steps_.byte_level; }

    // Appends the words of `normalized` (valid UTF-8) in the model's
    // alphabet. `at_start`: the text begins the input, the only place where
    // Metaspace's "first" scheme puts its marker.
    void split(std::string_view normalized, bool at_start, std::vector<std::string>& words);

private:
    struct Piece {
        std::string text;
        bool at_start;
    };
    void run_step(const PreTokenStep& step, Piece& piece);

    PreTokenSteps steps_;
    std::vector<Piece> pieces_, next_;
    std::vector<TextSpan> spans_;
    std::string scratch_;
};

}  // namespace vocarix
