// Whether the file's pre-tokenizer hands a word to the model whole. The
// model only ever sees one pre-token at a time, so a word the pre-tokenizer
// splits apart (a byte-level word with a space inside, a word with
// punctuation under a splitting pre-tokenizer) is never produced as one
// token, whatever merges it gets.
//
// Words are given as the model receives them (its own alphabet: "Ġ" or "▁"
// for a space). The pre-tokenizers are those pre_tokenizer.hpp applies,
// with the same splitting rules; a BertNormalizer that puts spaces around
// Chinese characters splits words as surely. Anything else, a Split on
// another regular expression among them, is left undecided.
//
// The same reading of the settings tells what the normalizer and the
// pre-tokenizer do to a word's form (TextPipeline): word_forms.hpp uses it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/pre_tokenizer.hpp"
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
    // The first pre-tokenizer the check cannot judge ("a Split on a regular
    // expression ...", "the pre-tokenizer UnicodeScripts", ...); empty when it judges them all.
    const std::string& undecided_by() const { return steps_.unsupported_by; }
    const TextPipeline& pipeline() const { return pipeline_; }

private:
    void read_normalizer(const std::string& section);

    PreTokenSteps steps_;
    TextPipeline pipeline_;
};

}  // namespace vocarix
