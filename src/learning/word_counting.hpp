// Counting the words of a corpus: the pieces of text the BPE model receives
// one at a time, after what the runtime does before the model: added tokens
// taken out of the text, the normalizer, the pre-tokenizer.
//
// A corpus is read line by line (a line ends at "\n", a "\r" before it is
// dropped, empty lines are skipped), each line a text the runtime encodes on
// its own. Counts of shards add up to the counts of the whole, whatever the
// order, so a corpus can be counted in pieces by many workers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "analysis/pre_tokenizer.hpp"
#include "analysis/token_style.hpp"
#include "learning/text_normalizer.hpp"
#include "learning/word_table.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// A corpus that is no UTF-8 text.
class CorpusError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class AddedTokenMatcher;

// A stretch of a line: an added token, or the text between added tokens.
struct AddedTokenSegment {
    std::size_t begin, end;
    const std::string* token;  // the added token; null for text
};

class WordCounter {
public:
    // Throws UnsupportedSetting when the file's normalizer or pre-tokenizer
    // is one the core cannot apply exactly.
    WordCounter(const EditorState& state, UnicodeForms* forms);
    ~WordCounter();
    WordCounter(const WordCounter&) = delete;
    WordCounter& operator=(const WordCounter&) = delete;

    // Counts the words of `text`, line by line. Throws CorpusError, naming
    // the byte (counted from `first_byte`, where the text starts in its
    // file), for a NUL byte or bytes that are not UTF-8; nothing of the text
    // is counted then. With `continues_line`, the text up to its first line
    // break is the rest of a line cut where its words allow (line_cuts.hpp):
    // not a line of its own, and not at the start of one.
    void count_text(std::string_view text, std::uint64_t first_byte = 0, bool continues_line = false);
    // The same for text already known to be UTF-8 without NUL bytes (as a
    // CorpusReader hands it out).
    void count_checked_text(std::string_view text, bool continues_line = false);
    // The words of one line, as the model receives them, appended to `words`.
    void words_of_line(std::string_view line, std::vector<std::string>& words);

    // The counted words. When the pre-tokenizer ends with ByteLevel the
    // table keeps each word as the bytes it stands for (a piece of the
    // text): it is written in the byte-level alphabet by words_unmapped()'s
    // callers, for_each_word_count() and words_json().
    const WordTable& words() const { return counts_.words; }
    bool words_unmapped() const { return words_unmapped_; }
    // Calls f(word, count) for every word as the model receives it, in no particular order.
    template <class F>
    void for_each_word_count(F&& f) const {
        if (!words_unmapped_) return counts_.words.for_each(f);
        std::string mapped;
        counts_.words.for_each([&](std::string_view word, std::uint64_t count) {
            mapped.clear();
            append_byte_level(mapped, word);
            f(std::string_view(mapped), count);
        });
    }
    // The word counts as a word-count file (see WordTable::json_by_count).
    std::string words_json(unsigned threads) const;
    // The same file handed to `write` in consecutive pieces as it is made.
    void write_words_json(unsigned threads, const std::function<void(std::string_view)>& write) const;
    // Added tokens met in the text, which the runtime hands over whole.
    const WordTable& added_tokens() const { return counts_.added_tokens; }
    std::uint64_t lines() const { return counts_.lines; }
    // What was counted so far, which more counts (of other chunks) may join.
    WordCounts& counts() { return counts_; }

private:
    // `unmapped`: words of a pre-tokenizer ending with ByteLevel before its mapping.
    template <class OnWord>
    void for_each_word_of_line(std::string_view line, bool at_line_start, bool unmapped, OnWord&& on_word);
    template <class OnWord>
    void words_of_normalized(std::string_view text, bool at_start, bool unmapped, OnWord& on_word);

    TextNormalizer normalizer_;
    PreTokenizer pre_tokenizer_;
    std::unique_ptr<AddedTokenMatcher> raw_added_, normalized_added_;
    WordCounts counts_;
    WordBatch batch_;
    std::vector<AddedTokenSegment> raw_segments_, normalized_segments_;
    std::string normalized_;
    bool words_unmapped_ = false;
};

}  // namespace vocarix
