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
#include "learning/text_normalizer.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

// A corpus that is no UTF-8 text.
class CorpusError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Word -> how often it occurs.
class WordTable {
public:
    void add(std::string_view word, std::uint64_t count);
    void add(const WordTable& other);
    std::size_t distinct() const { return counts_.size(); }
    std::uint64_t total() const { return total_; }
    // The words in ascending byte order with their counts: the same whatever
    // order they were counted in.
    std::vector<std::pair<std::string, std::uint64_t>> sorted() const;
    // Lookups by string_view without building a string.
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using Map = std::unordered_map<std::string, std::uint64_t, Hash, std::equal_to<>>;
    const Map& counts() const { return counts_; }

private:
    Map counts_;
    std::uint64_t total_ = 0;
};

// Adds two counts, stopping at the largest count instead of wrapping.
inline std::uint64_t add_counts(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

class AddedTokenMatcher;

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
    // is counted then.
    void count_text(std::string_view text, std::uint64_t first_byte = 0);
    // The words of one line, as the model receives them, appended to `words`.
    void words_of_line(std::string_view line, std::vector<std::string>& words);

    const WordTable& words() const { return words_; }
    // Added tokens met in the text, which the runtime hands over whole.
    const WordTable& added_tokens() const { return added_; }
    std::uint64_t lines() const { return lines_; }

private:
    void split_normalized(std::string_view text, bool at_start, std::vector<std::string>& words);

    TextNormalizer normalizer_;
    PreTokenizer pre_tokenizer_;
    std::unique_ptr<AddedTokenMatcher> raw_added_, normalized_added_;
    WordTable words_, added_;
    std::uint64_t lines_ = 0;
    std::vector<std::string> line_words_;
    std::string normalized_;
};

}  // namespace vocarix
