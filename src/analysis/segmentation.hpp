// How the BPE model of a tokenizer.json file splits one word, computed from
// the editor state exactly as the runtime applies the file.
//
// A word is the text the model receives after normalisation and
// pre-tokenisation. It is split into characters; every character but the
// first carries the continuing-subword prefix and the last one the
// end-of-word suffix. A character that is no entry becomes byte tokens
// <0xNN> (of its prefixed, suffixed form) when byte fallback is on and all
// of them are entries, or else the unknown token, consecutive unknowns
// joined into one when fuse_unk is on. Then the applicable merge of lowest
// rank fires, leftmost first, until none applies. With ignore_merges a word
// that is itself an entry comes back whole. Dropout is not applied.
//
// Ranks follow the runtime: a merge's rank is its list position, and a pair
// listed twice takes the rank of its last listing. The result of a merge
// (left, right) is left followed by right without its first
// prefix-length bytes.
//
// Pieces are entries, not ids: where two entries share an id, the runtime,
// which pairs ids, may merge what this keeps apart.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "state/editor_state.hpp"

namespace vocarix {

// The model's continuing-subword prefix and end-of-word suffix; empty when unset.
inline std::string_view subword_prefix(const ModelSettings& model) {
    return model.continuing_subword_prefix ? std::string_view(*model.continuing_subword_prefix) : std::string_view();
}
inline std::string_view word_suffix(const ModelSettings& model) {
    return model.end_of_word_suffix ? std::string_view(*model.end_of_word_suffix) : std::string_view();
}

// Where the character that starts at byte `i` of `s` ends: at the next byte
// that is not a UTF-8 continuation byte.
inline std::size_t character_end(std::string_view s, std::size_t i) {
    std::size_t end = i + 1;
    while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
    return end;
}

// The name of the runtime's byte token for `byte`: "<0xNN>", upper-case digits.
struct ByteTokenName {
    explicit ByteTokenName(unsigned char byte) {
        constexpr char kHex[] = "0123456789ABCDEF";
        text[3] = kHex[byte >> 4];
        text[4] = kHex[byte & 0xF];
    }
    std::string_view view() const { return {text, 6}; }
    char text[6] = {'<', '0', 'x', '0', '0', '>'};
};

struct Segmentation {
    std::vector<Symbol> pieces;  // vocabulary entries, in word order
    // Some character became the unknown token, or was dropped because the
    // unknown token is no entry (the runtime drops it when the file has no
    // unknown token, and fails when the token is missing from the vocabulary).
    bool met_unknown = false;
    bool used_byte_fallback = false;
};

// A segmentation in plain values, for callers outside the core.
struct WordPieces {
    std::vector<std::string> pieces;
    std::vector<std::uint32_t> ids;
    bool met_unknown = false;
};

// Segments words against one editor state. The merge pair index is built on
// the first word that needs it and kept: it stays right while entries are
// added and while merges are appended and reported through merge_appended.
// After any other change of the merge list, or of the entries that merges
// name, call invalidate().
class Segmenter {
public:
    explicit Segmenter(const EditorState& state) : state_(state) {}
    Segmenter(const Segmenter&) = delete;
    Segmenter& operator=(const Segmenter&) = delete;

    const EditorState& state() const { return state_; }

    Segmentation segment(std::string_view word);
    void segment(std::string_view word, Segmentation& out);
    // The same, and appends to `formed` every entry the word passes through:
    // its first pieces and the result of every merge that fires.
    void segment(std::string_view word, Segmentation& out, std::vector<Symbol>& formed);
    WordPieces pieces_of(std::string_view word);
    std::vector<WordPieces> pieces_of(std::span<const std::string> words);

    // Applies the merges to a sequence of entries until none applies.
    // Continuing from a sequence that no merge applies to, after merges were
    // appended, gives what segmenting the word from scratch gives.
    void merge_all(std::vector<Symbol>& pieces);

    // The merge (left, right) was appended at the end of the list and its
    // result is an entry.
    void merge_appended(Symbol left, Symbol right);
    // Every listing of the merge (left, right) is about to leave the list,
    // and with it any entry that only it names.
    void merge_removed(Symbol left, Symbol right);
    void invalidate() { ready_ = false; }

    // The runtime's result of merging left and right, as text.
    void merge_result_text(Symbol left, Symbol right, std::string& out) const;
    // Merges the runtime refuses to load (an element or the result is no
    // entry, or the right element is shorter than the prefix); segmentation
    // leaves them out.
    std::size_t unusable_merges();

private:
    struct PairSlot {
        std::uint64_t key;
        std::uint32_t rank;
        Symbol result;
    };
    struct Pending {
        std::uint32_t rank;
        std::uint32_t position;
        Symbol result;
    };
    static constexpr std::uint64_t kEmptyKey = UINT64_MAX;
    static std::uint64_t pair_key(Symbol left, Symbol right) {
        return (std::uint64_t{left} << 32) | right;
    }

    void ensure_ready() {
        if (!ready_) build();
    }
    void build();
    void build_from_merge_results();
    // The result of the merge (left, right) when that pair is a usable merge.
    const PairSlot* find_pair(Symbol left, Symbol right) const;
    void put_pair(Symbol left, Symbol right, std::uint32_t rank, Symbol result);
    void grow_table(std::size_t pairs);
    // Adds the merge at `rank` when the runtime would accept it; false otherwise.
    bool index_merge(Symbol left, Symbol right, std::uint32_t rank);

    Symbol entry(std::string_view text) const;
    // Appends the entries the characters of `word` start as.
    void initial_pieces(std::string_view word, Segmentation& out);
    bool append_byte_tokens(std::string_view text, std::vector<Symbol>& pieces);
    std::size_t prefix_length() const;
    std::size_t home_slot(std::uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> table_shift_; }

    const EditorState& state_;
    std::vector<Symbol>* formed_ = nullptr;  // set while a traced segmentation runs
    bool ready_ = false;
    std::vector<PairSlot> table_;
    std::size_t table_mask_ = 0;
    int table_shift_ = 64;
    std::size_t pair_count_ = 0;
    std::uint32_t next_rank_ = 0;
    std::size_t unusable_ = 0;

    // Scratch, reused across words.
    std::string text_;
    std::vector<std::uint32_t> next_, prev_;
    std::vector<Pending> heap_;
};

// One-shot segmentation of many words.
std::vector<WordPieces> segment_words(const EditorState& state, std::span<const std::string> words);

}  // namespace vocarix
