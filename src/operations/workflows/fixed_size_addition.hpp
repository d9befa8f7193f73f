// Adding tokens while the vocabulary keeps its size and its ids: every entry
// an addition creates takes the id of a token that is evicted for it, so the
// embedding matrix keeps its shape and the added tokens a runtime numbers
// past the vocabulary keep their ids.
//
// What is never evicted: the protected tokens (eviction.hpp), every
// requested token, and every entry its derivation needs: the entries the
// model passes through while it builds the word, and the chain of first
// producers behind the token. A token goes only when its cascade reaches
// none of them. Tokens whose removal takes nothing else along go first, so
// that one eviction frees exactly one id; among them the least used (when
// usage counts are given), and else the tokens least likely to be used
// (EvictionOrder in eviction.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/pre_token_check.hpp"
#include "analysis/word_forms.hpp"
#include "operations/workflows/eviction.hpp"
#include "operations/workflows/reachable_addition.hpp"

namespace vocarix {

struct FixedSizeOptions {
    // true: merges the model reaches (reachable_addition.hpp); false: the
    // module's add_token (longest prefix or character chain).
    bool reachable = true;
    bool add_unknown_characters = false;
    std::string space_mark;  // set from the file's style (reachable_addition.hpp)
    // false: a plain addition, recorded the same way; nothing is evicted.
    bool hold_size = true;
    ProtectionRules protection;
    // How the given words are read (word_forms.hpp); by default as stored.
    ReadingOptions reading{WordReadingMode::kStored, 0, false};
    // The file's text pipeline: with it, a word's forms and whether the
    // model produces them are found in running text (running_text.hpp).
    TextSplitter* text = nullptr;
};

struct FixedSizeWord {
    std::string requested;  // as given
    std::string form;       // the stored form added for it (one word read as text can give several)
    std::string token;      // the entry it is, or would be
    bool read_as_text = false;
    std::uint8_t contexts = 0;  // where the runtime meets the form (WordContext bits)
    bool capitalised = false;
    ScriptFamily family = ScriptFamily::kSpaced;
    std::vector<WordForm> other_forms;  // forms of the word not added; on its first form only
    // Reachable outcomes (reachable_addition.hpp), or for the prefix method
    // "already_exists" and "added"; "split" when the pre-tokenizer splits the
    // word apart, so that no merge can join it (nothing is added); "refused"
    // when the reading gave nothing to add (`refused` says why).
    std::string outcome;
    std::string refused;
    std::vector<std::string> pieces_before;
    std::vector<std::uint32_t> piece_ids_before;
    std::vector<std::string> unknown_characters;
    std::vector<StringPair> merges_appended;
    std::vector<std::pair<std::string, std::uint32_t>> entries_created;  // with the ids they end with
    // Once every token is added: the contexts where the runtime gives the
    // form as this one token (in sample texts of running text, or, without
    // the file's text pipeline, for the word alone); produced whole when
    // that is every context it is met in.
    std::uint8_t produced_in = 0;
    bool measured_in_text = false;
    bool produced_whole = false;
    PreTokenVerdict pre_tokenizer = PreTokenVerdict::kUndecided;
};

struct EvictedToken {
    std::string token;
    std::uint32_t id = 0;
    std::uint64_t count = 0;
    std::string replaced_by;               // the new entry that took its id; empty when none did
    std::vector<std::string> taken_along;  // other entries its removal deleted
};

struct FixedSizeReport {
    std::uint64_t initial_vocab_size = 0;
    std::uint64_t final_vocab_size = 0;
    std::vector<FixedSizeWord> words;
    std::vector<EvictedToken> evicted;
    // New entries that kept a fresh id: no token was left to evict.
    std::vector<std::pair<std::string, std::uint32_t>> without_room;
    // Ids that evictions freed and no new entry took (a removal that took
    // other entries along), ascending.
    std::vector<std::uint32_t> ids_left_free;
    // What the pre-tokenizer check could not judge; empty when it judged everything.
    std::string pre_tokenizer_undecided_by;
};

// Protects a requested token and what its derivation needs: the entries
// the model passes through while it builds `word`, and the chain of first
// producers behind `token`.
void protect_derivation(EditorState& state, Segmenter& segmenter, ProtectedTokens& protect, std::string_view word,
                        std::string_view token);

// Protects `token` and the chain of first producers behind it.
void protect_producers(EditorState& state, ProtectedTokens& protect, Symbol token);

// Ids for new entries, taken from tokens evicted for them: each eviction is
// listed in the report, with what it took along.
class EvictionRoom {
public:
    // `segmenter` is kept current through the removals.
    EvictionRoom(EditorState& state, const UsageCounts& counts, const ProtectedTokens& protect,
                 Segmenter& segmenter, FixedSizeReport& report);
    EvictionRoom(const EvictionRoom&) = delete;
    EvictionRoom& operator=(const EvictionRoom&) = delete;

    // Gives the new entry the id an eviction frees, and returns its id; when
    // nothing is left to evict it keeps its id and is listed as without room.
    std::uint32_t move_in(const std::string& entry);
    // Lists the ids left free and the final size.
    void finish();

private:
    std::optional<std::uint32_t> room_for(const std::string& entry);

    EditorState& state_;
    const UsageCounts& counts_;
    const ProtectedTokens& protect_;
    Segmenter& segmenter_;
    FixedSizeReport& report_;
    std::optional<EvictionOrder> order_;  // made when the first eviction is due
    std::vector<std::uint32_t> free_ids_;
};

// The word the model receives for a requested token: the token without the
// end-of-word suffix, when the model has one and the token ends with it.
std::string_view word_of_token(const ModelSettings& model, std::string_view token);

// Sets what the runtime now makes of an added form where it is met: the
// contexts it produces it whole in, and whether that is all of them.
void measure_in_running_text(Segmenter& segmenter, const WordForm& form, FixedSizeWord& added);

// Where running text (with the file's text pipeline `text`, when given)
// meets each stored token, and where the model produces it whole there.
std::vector<FixedSizeWord> measure_stored_tokens(const EditorState& state, std::span<const std::string> tokens,
                                                 TextSplitter* text);

// Reads the given words (options.reading) and adds their forms in order, so
// that earlier additions count for later ones.
FixedSizeReport add_words_fixed_size(EditorState& state, std::span<const std::string> tokens,
                                     const UsageCounts& counts, const FixedSizeOptions& options);

}  // namespace vocarix
