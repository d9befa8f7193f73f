#include "learning/word_table.hpp"

#include <algorithm>
#include <array>
#include <sys/mman.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "document/text.hpp"

namespace vocarix {
namespace {

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

std::uint64_t get_le(std::string_view bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

// A 64-bit hash of the word's bytes, read eight at a time, every bit of
// the result depending on every byte (the table indexes by the low bits).
std::uint64_t hash_word(std::string_view word) {
    auto mix = [](std::uint64_t h) {
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDULL;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ULL;
        return h ^ (h >> 33);
    };
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ word.size();
    std::size_t i = 0;
    for (; i + 8 <= word.size(); i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, word.data() + i, 8);
        h = (h ^ mix(chunk)) * 0x9E3779B97F4A7C15ULL;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, word.data() + i, word.size() - i);
    return mix(h ^ tail);
}

}  // namespace

void WordTable::FreeSlots::operator()(Slot* slots) const { std::free(slots); }

// Moves the words to `capacity` slots (a power of two). Large tables ask for
// huge pages: every lookup lands on a page of its own, and small pages would
// each cost a walk of the page tables as well.
void WordTable::rehash(std::size_t capacity) {
    const std::size_t bytes = capacity * sizeof(Slot);
    constexpr std::size_t kHugePage = 2 << 20;
    const bool huge = bytes >= kHugePage;
    void* memory = huge ? std::aligned_alloc(kHugePage, bytes) : std::malloc(bytes);
    if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (huge) ::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
    std::memset(memory, 0, bytes);
    std::unique_ptr<Slot[], FreeSlots> slots(static_cast<Slot*>(memory));
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < capacity_; ++i) {
        const Slot& slot = slots_[i];
        if (!slot.count) continue;
        // The slot keeps only the low half of the hash: the index is taken from it.
        std::size_t at = slot.hash & mask;
        while (slots[at].count) at = (at + 1) & mask;
        slots[at] = slot;
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
}

void WordTable::reserve(std::size_t words) {
    std::size_t capacity = capacity_ ? capacity_ : 1024;
    while (4 * words > 3 * capacity) capacity *= 2;
    if (capacity != capacity_) rehash(capacity);
}

void WordTable::add_hashed(std::string_view word, std::uint64_t hash, std::uint64_t count) {
    if (count == 0) return;
    if (4 * (size_ + 1) > 3 * capacity_) rehash(capacity_ ? capacity_ * 2 : 1024);
    const auto low = static_cast<std::uint32_t>(hash);
    const std::size_t mask = capacity_ - 1;
    std::size_t at = low & mask;
    for (;; at = (at + 1) & mask) {
        Slot& slot = slots_[at];
        if (!slot.count) break;
        if (slot.hash == low && word_at(slot.offset) == word) {
            slot.count = add_counts(slot.count, count);
            total_ = add_counts(total_, count);
            return;
        }
    }
    if (arena_.size() + 4 + word.size() > UINT32_MAX) throw std::length_error("more than 4 GiB of distinct words");
    Slot& slot = slots_[at];
    slot.hash = low;
    slot.offset = static_cast<std::uint32_t>(arena_.size());
    slot.count = count;
    const auto length = static_cast<std::uint32_t>(word.size());
    arena_.append(reinterpret_cast<const char*>(&length), 4).append(word);
    ++size_;
    total_ = add_counts(total_, count);
}

void WordTable::add(std::string_view word, std::uint64_t count) { add_hashed(word, hash_word(word), count); }

template <class WordAt>
void WordTable::add_prefetched(std::size_t n, WordAt&& word_at_index, const std::uint64_t* counts) {
    // Fetch ahead: the slot a word lands on sixteen words before it is added,
    // the bytes that slot points to eight words before.
    constexpr std::size_t kSlotsAhead = 16, kBytesAhead = 8;
    hashes_.resize(n);
    for (std::size_t i = 0; i < n; ++i) hashes_[i] = hash_word(word_at_index(i));
    for (std::size_t i = 0; i < n; ++i) {
        if (capacity_) {
            const std::size_t mask = capacity_ - 1;
            if (i + kSlotsAhead < n) __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hashes_[i + kSlotsAhead]) & mask]);
            if (i + kBytesAhead < n) {
                const Slot& ahead = slots_[static_cast<std::uint32_t>(hashes_[i + kBytesAhead]) & mask];
                if (ahead.count) __builtin_prefetch(arena_.data() + ahead.offset);
            }
        }
        add_hashed(word_at_index(i), hashes_[i], counts ? counts[i] : 1);
    }
}

void WordTable::add_batch(const WordBatch& batch) {
    add_prefetched(batch.size(), [&](std::size_t i) { return batch[i]; }, nullptr);
}

namespace {

// Another table's words come in the order of its slots, which is the order
// of their hashes. Added in that order, the words pile up in runs that each
// later one probes through to the end (linear probing is quadratic on
// sorted input), so they are added in a scattered order instead: position
// i * kScatterStep modulo the count, a permutation whenever the count is
// not a multiple of this prime.
constexpr std::uint64_t kScatterStep = 2654435761u;

std::uint64_t scatter_step(std::size_t n) { return n % kScatterStep ? kScatterStep : 1; }

}  // namespace

template <class WordAt, class CountAt, class Fetch>
void WordTable::add_scattered(std::size_t n, WordAt&& word_at_index, CountAt&& count_at_index, Fetch&& fetch) {
    constexpr std::size_t kBatch = 4096;
    const std::uint64_t step = scatter_step(n);
    std::vector<std::string_view> words;
    std::vector<std::uint64_t> counts;
    words.reserve(kBatch);
    counts.reserve(kBatch);
    auto flush = [&] {
        add_prefetched(words.size(), [&](std::size_t i) { return words[i]; }, counts.data());
        words.clear();
        counts.clear();
    };
    constexpr std::size_t kAhead = 8;  // the scattered order defeats the caches: what comes is fetched ahead
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) fetch(static_cast<std::size_t>((i + kAhead) * step % n));
        const std::size_t at = static_cast<std::size_t>(i * step % n);
        const std::uint64_t count = count_at_index(at);
        if (!count) continue;
        words.push_back(word_at_index(at));
        counts.push_back(count);
        if (words.size() == kBatch) flush();
    }
    flush();
}

void WordTable::add(const WordTable& other) {
    reserve(other.size_);
    add_scattered(
        other.capacity_, [&](std::size_t i) { return other.word_at(other.slots_[i].offset); },
        [&](std::size_t i) { return other.slots_[i].count; },
        [&](std::size_t i) {
            __builtin_prefetch(&other.slots_[i]);
            if (other.slots_[i].count) __builtin_prefetch(other.arena_.data() + other.slots_[i].offset);
        });
}

std::vector<std::pair<std::string, std::uint64_t>> WordTable::sorted() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(size_);
    for_each([&](std::string_view word, std::uint64_t count) { out.emplace_back(word, count); });
    std::sort(out.begin(), out.end());
    return out;
}

std::string WordTable::serialized() const {
    // Each word takes its arena bytes (length and text) and a count.
    std::string out(arena_.size() + 8 * size_, '\0');
    char* at = out.data();
    for_each([&](std::string_view word, std::uint64_t count) {
        const auto length = static_cast<std::uint32_t>(word.size());
        for (int i = 0; i < 4; ++i) *at++ = static_cast<char>(length >> (8 * i) & 0xFF);
        std::memcpy(at, word.data(), word.size());
        at += word.size();
        for (int i = 0; i < 8; ++i) *at++ = static_cast<char>(count >> (8 * i) & 0xFF);
    });
    out.resize(static_cast<std::size_t>(at - out.data()));
    return out;
}

void WordTable::add_serialized(std::string_view bytes) {
    // Every record is checked before any is added: bytes cut short add nothing.
    std::vector<std::size_t> records;
    for (std::size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < 4) throw std::invalid_argument("a word table cut short");
        const std::uint64_t length = get_le(bytes, at, 4);
        if (bytes.size() - at - 4 < length + 8) throw std::invalid_argument("a word table cut short");
        records.push_back(at);
        at += 4 + length + 8;
    }
    reserve(records.size());
    auto word = [&](std::size_t i) { return bytes.substr(records[i] + 4, get_le(bytes, records[i], 4)); };
    auto count = [&](std::size_t i) { return get_le(bytes, records[i] + 4 + get_le(bytes, records[i], 4), 8); };
    add_scattered(records.size(), word, count, [&](std::size_t i) { __builtin_prefetch(bytes.data() + records[i]); });
}

namespace {

// A word of the JSON output: its count, its first sixteen bytes as ranks
// (which settle most ties without reaching into the arena) and where it lies.
struct CountRecord {
    std::uint64_t count, prefix[2];
    const char* word;
    std::size_t length;
};

// Most used first, then by word: the words as written, compared through the
// ranks of their bytes.
struct BeforeInJson {
    const std::uint8_t* rank;
    bool operator()(const CountRecord& a, const CountRecord& b) const {
        if (a.count != b.count) return a.count > b.count;
        if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
        if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
        const std::size_t common = std::min(a.length, b.length);
        for (std::size_t i = 16; i < common; ++i) {
            const std::uint8_t x = rank[static_cast<unsigned char>(a.word[i])], y = rank[static_cast<unsigned char>(b.word[i])];
            if (x != y) return x < y;
        }
        return a.length < b.length;
    }
};

// Appends the members of `records` (sorted), each after ",\n" except the
// very first of the object (`first`), their words as `form` writes them.
void append_members(std::string& out, const std::vector<CountRecord>& records, bool first, const WordTable::KeyForm& form) {
    // Written into room made for words that need no escape (nearly all of
    // them); one that does goes through the general writer.
    std::size_t used = out.size();
    std::size_t room = 0;
    for (const CountRecord& record : records) room += form.growth * record.length + 30;
    out.resize(used + room + 32);
    char* at = out.data() + used;
    std::string written, escaped;
    auto put = [&](const char* bytes, std::size_t length) {
        if (static_cast<std::size_t>(out.data() + out.size() - at) < length + 32) {
            used = static_cast<std::size_t>(at - out.data());
            out.resize(2 * out.size() + length + 32);
            at = out.data() + used;
        }
        std::memcpy(at, bytes, length);
        at += length;
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CountRecord& record = records[i];
        if (i + 8 < records.size()) __builtin_prefetch(records[i + 8].word);  // the words lie apart in the arena
        const bool opens = first && i == 0;
        put(opens ? "\n\"" : ",\n\"", opens ? 2 : 3);
        std::string_view word(record.word, record.length);
        if (form.write) {
            written.clear();
            form.write(written, word);
            word = written;
        }
        if (std::none_of(word.begin(), word.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return byte < 0x20 || byte == '"' || byte == '\\';
            })) {
            put(word.data(), word.size());
        } else {
            escaped.clear();
            append_python_json_string(escaped, word, false);
            put(escaped.data() + 1, escaped.size() - 2);  // without its quotes
        }
        put("\": ", 3);
        char digits[24];
        put(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, record.count).ptr - digits));
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

// Runs first() here and second() on a thread of its own when `parallel`
// (here too when no thread can be had); an exception of either is thrown here.
template <class First, class Second>
void run_both(bool parallel, First&& first, Second&& second) {
    std::exception_ptr failure;
    std::thread other;
    if (parallel) {
        try {
            other = std::thread([&] {
                try {
                    second();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            parallel = false;
        }
    }
    std::exception_ptr mine;
    try {
        first();
    } catch (...) {
        mine = std::current_exception();
    }
    if (parallel) other.join();
    else if (!mine) second();
    if (mine) std::rethrow_exception(mine);
    if (failure) std::rethrow_exception(failure);
}

const std::uint8_t* identity_ranks() {
    static const auto ranks = [] {
        std::array<std::uint8_t, 256> out{};
        for (unsigned b = 0; b < 256; ++b) out[b] = static_cast<std::uint8_t>(b);
        return out;
    }();
    return ranks.data();
}

}  // namespace

std::string WordTable::json_by_count(unsigned threads, const KeyForm& form) const {
    // Sorted by count, then by word. Words counted once (most of them) and
    // the others are sorted and written apart, on two threads when asked:
    // the object is the second part after the first.
    const bool parallel = threads > 1 && size_ > 100'000;
    const std::uint8_t* rank = form.rank ? form.rank : identity_ranks();
    std::vector<CountRecord> more, once;
    // The records of the words counted once (`once`) or more often, sorted.
    auto gather = [&](std::vector<CountRecord>& records, bool counted_once) {
        records.reserve(size_ / 2);
        for_each_slot([&](const Slot& slot) {
            if ((slot.count == 1) != counted_once) return;
            const std::string_view word = word_at(slot.offset);
            CountRecord record{slot.count, {0, 0}, word.data(), word.size()};
            for (std::size_t k = 0; k < 16; ++k)
                record.prefix[k / 8] =
                    record.prefix[k / 8] << 8 | (k < word.size() ? rank[static_cast<unsigned char>(word[k])] : 0);
            records.push_back(record);
        });
        std::sort(records.begin(), records.end(), BeforeInJson{rank});
    };
    std::string out = "{", tail;
    run_both(
        parallel,
        [&] {
            gather(more, false);
            append_members(out, more, true, form);
        },
        [&] {
            gather(once, true);
            append_members(tail, once, size_ == once.size(), form);
        });
    out += tail;
    out += size_ ? "\n}\n" : "}\n";
    return out;
}

void WordCounts::add(const WordCounts& other) {
    words.add(other.words);
    added_tokens.add(other.added_tokens);
    lines = add_counts(lines, other.lines);
}

std::string WordCounts::serialized() const {
    const std::string word_bytes = words.serialized();
    std::string out;
    put_le(out, lines, 8);
    put_le(out, word_bytes.size(), 8);
    out += word_bytes;
    out += added_tokens.serialized();
    return out;
}

void WordCounts::add_serialized(std::string_view bytes) {
    if (bytes.size() < 16) throw std::invalid_argument("word counts cut short");
    const std::uint64_t word_bytes = get_le(bytes, 8, 8);
    if (word_bytes > bytes.size() - 16) throw std::invalid_argument("word counts cut short");
    lines = add_counts(lines, get_le(bytes, 0, 8));
    words.add_serialized(bytes.substr(16, word_bytes));
    added_tokens.add_serialized(bytes.substr(16 + word_bytes));
}

}  // namespace vocarix
