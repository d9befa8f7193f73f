// Words as people type them, the forms a vocabulary stores them in, and
// the tokens a typed text names.
//
// People type a word as text: "thrombocytopenia", " thrombocytopenia" or
// "Thrombocytopenia". The runtime meets it in running text in the forms
// that the file's normalizer, pre-tokenizer and token style give it there
// (running_text.hpp): after a space as "Ġthrombocytopenia" (byte-level) or
// "▁thrombocytopenia" (▁ files), with the model's end-of-word suffix where
// it has one; at the start of a line often without the space mark;
// capitalised at the start of a sentence; a word of a script written
// without spaces inside its own text, bare. A word given in the stored form
// already is recognised and kept as it is: it carries the style's mark or
// suffix, or, in a byte-level file, reads back as other valid text.
//
// Commands that name existing tokens (remove, show, keep lists) take the
// same inputs: a stored form, the text a display shows for a token (" the"
// for "Ġthe"), or a typed word, which names those of its forms that are
// entries (resolve()).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/pre_token_check.hpp"
#include "analysis/running_text.hpp"
#include "analysis/token_style.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

enum class WordReadingMode : std::uint8_t {
    kAuto,    // stored when the word carries the file's marks, text otherwise
    kText,    // always text
    kStored,  // always as stored: taken literally
};

struct WordForm {
    std::string token;          // as stored
    std::uint8_t contexts = 0;  // WordContext bits; 0: the runtime never meets it
    bool capitalised = false;   // the word with its first letter upper-cased
    ScriptFamily family = ScriptFamily::kSpaced;
    // True when it was looked for in running text cut by the file's text
    // pipeline; `places` then holds where it was found, one per context
    // (a context without a place gives the word otherwise, or splits it).
    bool looked_up = false;
    std::vector<FormPlace> places;
};

struct ReadingOptions {
    WordReadingMode mode = WordReadingMode::kAuto;
    // Which of a text word's forms to take (WordContext bits); 0 for the
    // default of its script (default_contexts()).
    std::uint8_t contexts = 0;
    bool capitalised = false;  // and their capitalised forms
};

struct WordReading {
    std::string given;
    bool read_as_text = false;
    // The forms to add, in order: as typed before capitalised.
    std::vector<WordForm> chosen;
    // The word's other forms in running text (words read as text only).
    std::vector<WordForm> other_forms;
    // Why nothing is added for the word; empty when something is.
    std::string refused;
};

// The entries a given text names.
struct ResolvedToken {
    std::string given;
    bool read_as_text = false;
    std::vector<std::string> tokens;  // entries, in the order found; empty when none
};

class WordReader {
public:
    // With a splitter (the file's own text pipeline), forms are found by
    // cutting sample texts as the runtime does; without one, from the
    // file's settings: how its style writes a space and whether it marks
    // the start of a text.
    explicit WordReader(const EditorState& state, TextSplitter* splitter = nullptr);

    WordReading read(std::string_view given, const ReadingOptions& options);
    // The word's distinct forms in every context of its script: as typed,
    // then capitalised (unless the normalizer lower-cases), each with where
    // it is met.
    std::vector<WordForm> forms_of(std::string_view word);
    // A stored token as a form: where the runtime meets it as a word of
    // running text; no context when never (it holds what the normalizer or
    // the style rewrites, say a plain space in a ▁ file, or is no text of
    // its own, or the pre-tokenizer never gives such a word).
    WordForm stored_as_form(std::string_view token);
    // The entries `given` names: itself when it is one (unless kText);
    // else, read as text, the entry a display shows as that text (" the"
    // for "Ġthe"); else the forms of the typed word that are entries.
    ResolvedToken resolve(std::string_view given, WordReadingMode mode);
    bool looks_stored(std::string_view given) const;
    const StyleReport& style() const { return reader_.style(); }
    // True when forms are found by running the file's text pipeline.
    bool runs_text() const { return running_.has_value(); }

private:
    // The word's form where a context meets it.
    WordForm form_in(std::string_view word, ScriptFamily family, WordContext context);
    std::string settings_form(std::string_view word, WordContext context) const;
    // `given` as the text it stands for, when read as text: a word written
    // for a ▁ file stands for the same text in a byte-level one.
    std::string text_of(std::string_view given, WordReadingMode mode) const;
    bool marks_spaces() const;

    const EditorState& state_;
    TokenReader reader_;
    TextPipeline pipeline_;
    std::string suffix_;
    std::string prefix_;
    std::optional<RunningText> running_;
};

}  // namespace vocarix
