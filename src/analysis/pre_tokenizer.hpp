// How the file's pre-tokenizer cuts normalized text into the words the BPE
// model receives, as the runtime does: each step splits every piece the
// steps before it left, and the byte-level and Metaspace steps also rewrite
// their pieces (a space prepended, the byte-level alphabet, "▁" for a space).
//
// Every pre-tokenizer the runtime reads is applied: ByteLevel (with its own
// regular expression or without, add_prefix_space), Metaspace (every
// prepend_scheme, split), Whitespace, WhitespaceSplit, BertPreTokenizer,
// Punctuation, Digits, CharDelimiterSplit, UnicodeScripts, FixedLength,
// Split on a string or a regular expression with every behavior and
// invert, and Sequence of these. Regular expressions are evaluated by the
// runtime's own engine (regular_expression.hpp). A type this version does
// not know, or a setting the runtime itself refuses, is named by
// unsupported_by(), and the splitting is then not the runtime's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "analysis/regular_expression.hpp"
#include "analysis/text_span.hpp"
#include "document/document.hpp"

namespace vocarix {

// What a split does with the places its pattern matches.
enum class SplitBehavior : std::uint8_t { kRemoved, kIsolated, kMergedWithPrevious, kMergedWithNext, kContiguous };

struct PreTokenStep {
    enum class Kind : std::uint8_t {
        kByteLevel, kMetaspace, kWhitespace, kWhitespaceSplit, kBert, kPunctuation, kDigits, kDelimiter,
        kSplitString, kSplitRegex, kUnicodeScripts, kFixedLength,
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
    std::size_t length = 5;  // FixedLength: characters per piece
    // Split (and ByteLevel's own expression): the compiled pattern, and
    // which hand-written matcher, proven to match as the engine does, may
    // stand in for it.
    std::shared_ptr<const RegularExpression> regex;
    enum class Pattern : std::uint8_t {
        kEngine, kClassic, kThreeDigits, kOneDigit, kDeepSeekDigits, kDeepSeekCjk, kDeepSeekWords
    } pattern = Pattern::kEngine;
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

// Where one step cuts `text` (valid UTF-8), leaving out what the step
// changes in the text: the pieces as byte spans, in order, none empty,
// each handed to `on_piece` as soon as it is known. Throws RegexError when
// the engine gives up on a search.
void for_each_piece(const PreTokenStep& step, std::string_view text, SpanSink on_piece);
// The same, the pieces appended to `pieces`.
void split_by_step(const PreTokenStep& step, std::string_view text, std::vector<TextSpan>& pieces);

class PreTokenizer {
public:
    explicit PreTokenizer(const DocumentSections& sections);

    const std::string& unsupported_by() const { return steps_.unsupported_by; }
    bool byte_level() const { return steps_.byte_level; }
    // Whether the last step is ByteLevel, whose words are the bytes of its
    // pieces written in the byte-level alphabet (see for_each_unmapped_word).
    bool maps_bytes_last() const { return !steps_.steps.empty() && steps_.steps.back().kind == PreTokenStep::Kind::kByteLevel; }

    // Calls on_word(word) for each word of `normalized` (valid UTF-8), in
    // order, in the model's alphabet; a word is valid until on_word returns.
    // `at_start`: the text begins the input, the only place where
    // Metaspace's "first" scheme puts its marker.
    template <class OnWord>
    void for_each_word(std::string_view normalized, bool at_start, OnWord&& on_word) {
        Sink sink = [](void* context, std::string_view word, TextSpan) {
            (*static_cast<std::remove_reference_t<OnWord>*>(context))(word);
        };
        run(normalized, at_start, sink, &on_word, false);
    }
    // The same, except that when the last step is ByteLevel the words are
    // its pieces as they are, before each byte becomes a character of the
    // byte-level alphabet (append_byte_level writes them as the model
    // receives them): counting keys fewer bytes, and writes each distinct
    // word once.
    template <class OnWord>
    void for_each_unmapped_word(std::string_view normalized, bool at_start, OnWord&& on_word) {
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{unmapped_last_};
        unmapped_last_ = maps_bytes_last();
        for_each_word(normalized, at_start, on_word);
    }
    // Appends the words of `normalized` to `words`.
    void split(std::string_view normalized, bool at_start, std::vector<std::string>& words);
    // The same, and for each word the bytes of `normalized` it stands for.
    void split(std::string_view normalized, bool at_start, std::vector<std::string>& words,
               std::vector<TextSpan>& sources);

private:
    using Sink = void (*)(void* context, std::string_view word, TextSpan source);
    // What one step works on: its text, and with sources, for each byte of
    // the text the bytes of the input it stands for.
    struct Level {
        std::string text, mapped;  // the piece rewritten before its split; a piece in the byte-level alphabet
        std::vector<TextSpan> sources, mapped_sources;
    };
    void run(std::string_view normalized, bool at_start, Sink sink, void* context, bool with_sources);
    void descend(std::size_t depth, std::string_view text, const TextSpan* sources, bool at_start);

    PreTokenSteps steps_;
    std::vector<Level> levels_;
    std::vector<TextSpan> input_sources_;
    Sink sink_ = nullptr;
    void* context_ = nullptr;
    bool unmapped_last_ = false;  // the last step's pieces are handed on before the byte-level mapping
};

}  // namespace vocarix
