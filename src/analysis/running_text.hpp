// Words as the runtime meets them in running text.
//
// A word reaches the model in the form that the text around it gives it: a
// byte-level file hands "Ġword" to the model after a space and "word" after
// a line break, a "▁" file with a prepend rule "▁word" at the start of a
// text, and a Chinese word inside Chinese text may never be a word of its
// own at all: the pre-tokenizer gives the model the whole run of Chinese
// characters, or isolates it from the space before it. So the forms of a
// word, and whether the model produces each form as one token, are found by
// cutting short sample texts (a context) as the runtime cuts them and
// segmenting the words that hold the typed word.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/segmentation.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// Cuts a text into the words the BPE model receives, as the runtime does:
// added tokens taken out, the normalizer, the pre-tokenizer.
class TextSplitter {
public:
    virtual ~TextSplitter() = default;
    // Appends the words of `text` (valid UTF-8, one input of the runtime),
    // in the model's alphabet, to `words`. False when added tokens were
    // taken out of the text, which then never reaches the model whole.
    virtual bool words_of(std::string_view text, std::vector<std::string>& words) = 0;
};

// Where in running text the runtime meets a form; a form can serve several.
enum WordContext : std::uint8_t {
    kAfterSpace = 1,      // inside a sentence, after a space
    kTextStart = 2,       // at the start of a text
    kAfterLineBreak = 4,  // at the start of a line after a line break
    kInScript = 8,        // inside text of its own script, without spaces around it
};
inline constexpr WordContext kContexts[] = {kAfterSpace, kTextStart, kAfterLineBreak, kInScript};

// The writing systems whose words follow each other without spaces, and
// the rest ("spaced"), which put spaces between words.
enum class ScriptFamily : std::uint8_t { kSpaced, kChinese, kJapanese, kThai, kLao, kKhmer, kMyanmar, kTibetan };

// The family of a word's letters: a spaceless one when every letter is of
// such a script (Japanese when kana are among them), spaced otherwise.
ScriptFamily script_family(std::string_view word);
// "Chinese", "Japanese", "Thai", ...; "" for the spaced family.
const char* script_family_name(ScriptFamily family);
// The contexts a word of the family occurs in (WordContext bits): a spaced
// word is not met inside text without spaces.
std::uint8_t contexts_of_family(ScriptFamily family);
// The contexts whose forms are taken unless the caller picks: a spaced
// word after a space and at the start of a line, a word of a spaceless
// script inside its own text and at the start of a line.
std::uint8_t default_contexts(ScriptFamily family);

// The sample text of a context around a word of the family: before + word + after.
struct ContextText {
    std::string_view before, after;
};
ContextText context_text(ScriptFamily family, WordContext context);

// One place of a form in running text: the word of the context's text that
// holds it, and where it starts there.
struct FormPlace {
    WordContext context = kAfterSpace;
    std::string word;        // as the model receives it
    std::size_t begin = 0;   // bytes into `word`
    std::size_t length = 0;  // bytes of the form (without an end-of-word suffix)
};

struct Placement {
    enum class Kind : std::uint8_t {
        kFound,    // one word of the context holds the form
        kSplit,    // the pre-tokenizer cuts the word into several words
        kMissing,  // the normalizer rewrote it beyond recognition
    };
    Kind kind = Kind::kMissing;
    std::string form;  // kFound: the marked or the bare candidate
    FormPlace place;
};

class RunningText {
public:
    explicit RunningText(TextSplitter& splitter) : splitter_(splitter) {}

    // Where a word typed as `text` stands in the context's sample text, as
    // `marked` (its form after a space mark) or `bare`, both in the model's
    // alphabet. The words that hold it are those the sample text without
    // the word lacks, so the rest of the sample cannot be taken for it.
    Placement place(std::string_view text, ScriptFamily family, WordContext context, std::string_view marked,
                    std::string_view bare);
    // The words the pipeline gives for `text` alone, joined: the typed word
    // as the normalizer writes it (NFKC, accents stripped, ...); empty when
    // an added token takes part of it.
    std::string alone(std::string_view text);

private:
    const std::vector<std::string>& words_without(ScriptFamily family, WordContext context);

    TextSplitter& splitter_;
    std::map<std::pair<ScriptFamily, WordContext>, std::vector<std::string>> without_;
    std::vector<std::string> words_;
    std::vector<std::uint8_t> matched_;
};

// Whether the model, as `segmenter` applies it now, gives the placed form
// as one token in its place: a piece of the word that holds it starts and
// ends exactly where the form does.
bool produced_in_place(Segmenter& segmenter, const FormPlace& place);

}  // namespace vocarix
