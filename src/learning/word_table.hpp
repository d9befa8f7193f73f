// Counts keyed by word (or added token), as word counting builds them and
// adds up the tables of a corpus's chunks, whatever process counted them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>


namespace vocarix {

// Adds two counts, stopping at the largest count instead of wrapping.
inline std::uint64_t add_counts(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Words gathered for adding to a table together (WordTable::add_batch).
class WordBatch {
public:
    void push(std::string_view word) {
        bytes_.append(word);
        ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
    }
    std::size_t size() const { return ends_.size(); }
    std::size_t bytes() const { return bytes_.size(); }
    std::string_view operator[](std::size_t i) const {
        const std::uint32_t begin = i ? ends_[i - 1] : 0;
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }
    void clear() {
        bytes_.clear();
        ends_.clear();
    }

private:
    std::string bytes_;
    std::vector<std::uint32_t> ends_;
};

// How a table's words are written out: `write` appends a word's written
// form (at most `growth` times its bytes; null: the word as it is), and
// `rank` gives each byte's place in the order of written forms, so that
// comparing words byte by byte through it orders them as their written
// forms (null: the bytes' own order).
struct WordKeyForm {
    void (*write)(std::string& out, std::string_view word) = nullptr;
    const std::uint8_t* rank = nullptr;
    std::size_t growth = 1;
};

// Word -> how often it occurs. An open-addressing table of 16-byte slots
// over one arena of word bytes. Counting a corpus looks words up millions
// of times in a table far larger than the caches, so batches are added
// with the slots and bytes they will touch fetched ahead.
class WordTable {
public:
    WordTable() = default;
    WordTable(WordTable&&) noexcept = default;
    WordTable& operator=(WordTable&&) noexcept = default;

    void add(std::string_view word, std::uint64_t count);
    // Makes room for `words` distinct words without moving them again.
    void reserve(std::size_t words);
    // Makes room for `words` more distinct words of `bytes` bytes in all.
    void make_room(std::size_t words, std::size_t bytes);
    // The table will take in the words of `tables` tables of about its own
    // size in all (itself among them): it grows while its own words fill a
    // `tables`-th of what it may hold, so that adding the others' words in
    // the end rarely makes it grow then, a step that waits for fresh memory
    // while the processes that counted them wait for it.
    void expect_tables(std::size_t tables);
    // Adds each word of the batch once.
    void add_batch(const WordBatch& batch);
    std::size_t distinct() const { return size_; }
    std::uint64_t total() const { return total_; }
    // The words in ascending byte order with their counts: the same whatever
    // order they were counted in.
    std::vector<std::pair<std::string, std::uint64_t>> sorted() const;

    // The table as bytes that add_serialized() of another table, in any
    // process, adds up: each word as its length (4 bytes), its bytes and its
    // count (8 bytes), little-endian.
    std::string serialized() const;
    std::size_t serialized_size() const { return arena_.size() + 8 * size_; }
    // Writes the serialized() bytes to `out`, which has room for serialized_size().
    void serialize_into(char* out) const;
    // Throws std::invalid_argument for bytes serialized() did not write.
    void add_serialized(std::string_view bytes);

    // The table as a JSON object of word -> count, most used first (then by
    // word), one member to a line.
    // Sorting and writing take up to `threads` threads (two at most).
    using KeyForm = WordKeyForm;
    std::string json_by_count(unsigned threads = 1, const KeyForm& form = KeyForm()) const;
    // The same object handed to `write` in consecutive pieces as it is made
    // (never two calls at once, not always from the calling thread).
    void write_json_by_count(unsigned threads, const KeyForm& form,
                             const std::function<void(std::string_view)>& write) const;

    // Calls f(word, count) for every word, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for_each_slot([&](const Slot& slot) { f(word_at(slot.offset), slot.count); });
    }
    // Bytes the table holds (its slots and its arena of words).
    std::size_t memory_bytes() const { return capacity_ * sizeof(Slot) + arena_.capacity(); }

private:
    struct Slot {
        std::uint32_t hash;    // the low half of the word's hash
        std::uint32_t offset;  // in the arena: the word's length (4 bytes), then its bytes
        std::uint64_t count;   // 0: empty (a counted word has a count of at least 1)
    };
    struct FreeSlots {
        void operator()(Slot* slots) const;
    };
    // Calls f(slot) for every slot from `begin` to `end` that holds a word,
    // its word fetched ahead: the words lie in the arena in the order they
    // were met, not in the slots' order.
    template <class F>
    void for_each_slot(F&& f, std::size_t begin = 0, std::size_t end = SIZE_MAX) const {
        constexpr std::size_t kAhead = 24;
        end = std::min(end, capacity_);
        for (std::size_t i = begin; i < end; ++i) {
            if (i + kAhead < end && slots_[i + kAhead].count) __builtin_prefetch(arena_.data() + slots_[i + kAhead].offset);
            if (slots_[i].count) f(slots_[i]);
        }
    }
    std::string_view word_at(std::uint32_t offset) const {
        std::uint32_t length;
        std::memcpy(&length, arena_.data() + offset, 4);
        return std::string_view(arena_).substr(offset + 4, length);
    }
    // The slot holding `word` (whose hash's low half is `low`), or the empty
    // slot where it would go.
    Slot& slot_for(std::string_view word, std::uint32_t low);
    // Puts a word not in the table yet into its empty slot.
    void fill(Slot& slot, std::string_view word, std::uint32_t low, std::uint64_t count);
    void add_hashed(std::string_view word, std::uint64_t hash, std::uint64_t count);
    // Adds word_at_index(i) for i < n, with counts[i] (1 without counts),
    // hashes first and slots fetched ahead.
    template <class WordAt>
    void add_prefetched(std::size_t n, WordAt&& word_at_index, const std::uint64_t* counts);
    // Adds word_at_index(i) with count_at_index(i) for i < n, in the order
    // of the slots they land on; fetch(i) asks for what index i reads.
    template <class WordAt, class CountAt, class Fetch>
    void add_in_slot_order(std::size_t n, WordAt&& word_at_index, CountAt&& count_at_index, Fetch&& fetch);
    // Sorts indexes of `hashes` by the slot each hash lands on (roughly:
    // by blocks of slots).
    void order_by_home(std::vector<std::size_t>& indexes, const std::vector<std::uint64_t>& hashes) const;
    void rehash(std::size_t capacity);

    std::unique_ptr<Slot[], FreeSlots> slots_;
    std::size_t capacity_ = 0;  // a power of two
    std::string arena_;
    std::size_t size_ = 0;
    std::uint64_t total_ = 0;
    std::size_t tables_ = 1;  // expect_tables()
    std::vector<std::uint64_t> hashes_;  // of the batch being added
};

// What counting a corpus gives: its words, the added tokens met in it
// (which the runtime hands over whole) and how many non-empty lines it had.
struct WordCounts {
    WordTable words, added_tokens;
    std::uint64_t lines = 0;

    // Both tables and the line count as bytes add_serialized() adds up.
    std::string serialized() const;
    std::size_t serialized_size() const { return 16 + words.serialized_size() + added_tokens.serialized_size(); }
    void serialize_into(char* out) const;
    void add_serialized(std::string_view bytes);
};

}  // namespace vocarix
