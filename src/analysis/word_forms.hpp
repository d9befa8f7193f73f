// Words as people type them, and the forms a vocabulary stores them in.
//
// People type a word as text: "thrombocytopenia", " thrombocytopenia" or
// "Thrombocytopenia". The runtime meets it in running text in the form the
// file's normalizer, pre-tokenizer and token style give it: after a space as
// "Ġthrombocytopenia" (byte-level) or "▁thrombocytopenia" (▁ files), with
// the model's end-of-word suffix where it has one; at the start of a text
// or after a line break often without the space mark; capitalised at the
// start of a sentence. A word given in the stored form already is
// recognised and kept as it is: it carries the style's mark or suffix, or,
// in a byte-level file, reads back as other valid text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/pre_token_check.hpp"
#include "analysis/token_style.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

enum class WordReadingMode : std::uint8_t {
    kAuto,    // stored when the word carries the file's marks, text otherwise
    kText,    // always text
    kStored,  // always as stored: taken literally
};

// Where in running text the runtime meets a form; a form can serve several.
enum WordContext : std::uint8_t { kAfterSpace = 1, kTextStart = 2, kAfterLineBreak = 4 };
inline constexpr std::uint8_t kAllContexts = kAfterSpace | kTextStart | kAfterLineBreak;

struct WordForm {
    std::string token;          // as stored
    std::uint8_t contexts = 0;  // WordContext bits; 0: the runtime never meets it
    bool capitalised = false;   // the word with its first letter upper-cased
};

struct ReadingOptions {
    WordReadingMode mode = WordReadingMode::kAuto;
    std::uint8_t contexts = kAfterSpace;  // which of a text word's forms to take
    bool capitalised = false;             // and their capitalised forms
};

struct WordReading {
    std::string given;
    bool read_as_text = false;
    // The forms to add, in order: as typed before capitalised, after a space first.
    std::vector<WordForm> chosen;
    // The word's other forms in running text (words read as text only).
    std::vector<WordForm> other_forms;
    // Why nothing is added for the word; empty when something is.
    std::string refused;
};

class WordReader {
public:
    explicit WordReader(const EditorState& state);

    WordReading read(std::string_view given, const ReadingOptions& options) const;
    // The word's distinct forms in running text: as typed, then capitalised
    // (unless the normalizer lower-cases), each with where it is met.
    std::vector<WordForm> forms_of(std::string_view word) const;
    // Where the runtime meets a stored token as a word of running text; 0
    // when never (it holds what the normalizer or the style rewrites, say a
    // plain space in a ▁ file, or is no text of its own).
    std::uint8_t contexts_of(std::string_view token) const;
    bool looks_stored(std::string_view given) const;
    const StyleReport& style() const { return reader_.style(); }

private:
    std::string stored_form(std::string_view word, WordContext context) const;
    bool marks_spaces() const;

    TokenReader reader_;
    TextPipeline pipeline_;
    std::string suffix_;
    std::string prefix_;
};

}  // namespace vocarix
