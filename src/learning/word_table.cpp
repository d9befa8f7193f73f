#include "learning/word_table.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "learning/both_threads.hpp"

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

WordTable::Slot& WordTable::slot_for(std::string_view word, std::uint32_t low) {
    const std::size_t mask = capacity_ - 1;
    for (std::size_t at = low & mask;; at = (at + 1) & mask) {
        Slot& slot = slots_[at];
        if (!slot.count || (slot.hash == low && word_at(slot.offset) == word)) return slot;
    }
}

void WordTable::fill(Slot& slot, std::string_view word, std::uint32_t low, std::uint64_t count) {
    if (arena_.size() + 4 + word.size() > UINT32_MAX) throw std::length_error("more than 4 GiB of distinct words");
    slot.hash = low;
    slot.offset = static_cast<std::uint32_t>(arena_.size());
    slot.count = count;
    const auto length = static_cast<std::uint32_t>(word.size());
    arena_.append(reinterpret_cast<const char*>(&length), 4).append(word);
    ++size_;
}

void WordTable::expect_tables(std::size_t tables) { tables_ = std::max<std::size_t>(1, tables); }

void WordTable::make_room(std::size_t words, std::size_t bytes) {
    reserve(size_ + words);
    arena_.reserve(arena_.size() + bytes);
}

void WordTable::add_hashed(std::string_view word, std::uint64_t hash, std::uint64_t count) {
    if (count == 0) return;
    if (4 * tables_ * (size_ + 1) > 3 * capacity_) rehash(capacity_ ? capacity_ * 2 : 1024);
    const auto low = static_cast<std::uint32_t>(hash);
    Slot& slot = slot_for(word, low);
    if (slot.count) slot.count = add_counts(slot.count, count);
    else fill(slot, word, low, count);
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

void WordTable::order_by_home(std::vector<std::size_t>& indexes, const std::vector<std::uint64_t>& hashes) const {
    // Bucketed by the high bits of the home slot: a bucket spans a few
    // thousand slots, which stay in the caches while its words go in.
    const std::size_t mask = capacity_ - 1;
    unsigned shift = 0;
    while ((capacity_ >> shift) > 4096) ++shift;
    auto bucket = [&](std::size_t i) { return (static_cast<std::uint32_t>(hashes[i]) & mask) >> shift; };
    std::vector<std::size_t> starts((capacity_ >> shift) + 1, 0), ordered(indexes.size());
    for (std::size_t i : indexes) ++starts[bucket(i) + 1];
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    for (std::size_t i : indexes) ordered[starts[bucket(i)]++] = i;
    indexes.swap(ordered);
}

namespace {

// Many words are hashed and looked up on two threads (one costs more than it saves below this).
constexpr std::size_t kParallelWords = 100'000;

}  // namespace

template <class WordAt, class CountAt, class Fetch>
void WordTable::add_in_slot_order(std::size_t n, WordAt&& word_at_index, CountAt&& count_at_index, Fetch&& fetch) {
    // Words of another table come in the order of its slots, and in any
    // other order but this table's own every probe misses the caches. Taken
    // in the order of the slots they land on here, neighbouring words probe
    // neighbouring slots. The words already here take their counts first;
    // the others go in after room is made for all of them: added in slot
    // order while the table fills up, they would crowd the slots they reach
    // first and each probe through the run the last one left.
    tables_ = 1;  // the others' words are here: room is made for exactly them
    if (!capacity_) reserve(n);  // order_by_home needs slots
    const bool parallel = n >= kParallelWords;
    std::vector<std::uint64_t> hashes(n);
    std::vector<std::size_t> order(n);
    auto hash_range = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            hashes[i] = hash_word(word_at_index(i));
            order[i] = i;
        }
    };
    run_both(parallel, [&] { hash_range(0, n / 2); }, [&] { hash_range(n / 2, n); });
    // Calls take(order[j]) for j in [begin, end), what comes fetched ahead.
    auto in_order = [&](const std::vector<std::size_t>& order, std::size_t begin, std::size_t end, auto&& take) {
        constexpr std::size_t kAhead = 8;
        for (std::size_t j = begin; j < end; ++j) {
            if (j + kAhead < end) {
                const std::size_t ahead = order[j + kAhead];
                fetch(ahead);
                const Slot& home = slots_[static_cast<std::uint32_t>(hashes[ahead]) & (capacity_ - 1)];
                if (home.count) __builtin_prefetch(arena_.data() + home.offset);
            }
            take(order[j]);
        }
    };
    auto insert = [&](std::size_t i) { add_hashed(word_at_index(i), hashes[i], count_at_index(i)); };
    order_by_home(order, hashes);
    if (!size_) {  // nothing to find: every word goes in
        reserve(n);
        return in_order(order, 0, n, insert);
    }
    // Two threads look the words up, reading the table only; the counts of
    // the words found are added after.
    std::vector<std::pair<Slot*, std::uint64_t>> found[2];
    std::vector<std::size_t> missing[2];
    std::size_t missing_bytes[2] = {0, 0};
    auto look_up = [&](int share, std::size_t begin, std::size_t end) {
        in_order(order, begin, end, [&](std::size_t i) {
            const std::uint64_t count = count_at_index(i);
            if (!count) return;
            const std::string_view word = word_at_index(i);
            Slot& slot = slot_for(word, static_cast<std::uint32_t>(hashes[i]));
            if (slot.count) {
                found[share].emplace_back(&slot, count);
            } else {
                missing[share].push_back(i);
                missing_bytes[share] += 4 + word.size();
            }
        });
    };
    run_both(parallel, [&] { look_up(0, 0, n / 2); }, [&] { look_up(1, n / 2, n); });
    for (const auto& share : found)
        for (const auto& [slot, count] : share) {
            slot->count = add_counts(slot->count, count);
            total_ = add_counts(total_, count);
        }
    // A word given twice (in bytes serialized() did not make) is found twice
    // or missing twice, and counted both times either way.
    missing[0].insert(missing[0].end(), missing[1].begin(), missing[1].end());
    const std::size_t mask = capacity_ - 1;
    reserve(size_ + missing[0].size());
    arena_.reserve(arena_.size() + missing_bytes[0] + missing_bytes[1]);
    if (capacity_ - 1 != mask) order_by_home(missing[0], hashes);  // the slots moved
    in_order(missing[0], 0, missing[0].size(), insert);
}

std::vector<std::pair<std::string, std::uint64_t>> WordTable::sorted() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(size_);
    for_each([&](std::string_view word, std::uint64_t count) { out.emplace_back(word, count); });
    std::sort(out.begin(), out.end());
    return out;
}

std::string WordTable::serialized() const {
    std::string out(serialized_size(), '\0');
    serialize_into(out.data());
    return out;
}

void WordTable::serialize_into(char* at) const {
    // Each word takes its arena bytes (length and text) and a count.
    for_each([&](std::string_view word, std::uint64_t count) {
        const auto length = static_cast<std::uint32_t>(word.size());
        for (int i = 0; i < 4; ++i) *at++ = static_cast<char>(length >> (8 * i) & 0xFF);
        std::memcpy(at, word.data(), word.size());
        at += word.size();
        for (int i = 0; i < 8; ++i) *at++ = static_cast<char>(count >> (8 * i) & 0xFF);
    });
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
    auto word = [&](std::size_t i) { return bytes.substr(records[i] + 4, get_le(bytes, records[i], 4)); };
    auto count = [&](std::size_t i) { return get_le(bytes, records[i] + 4 + get_le(bytes, records[i], 4), 8); };
    add_in_slot_order(records.size(), word, count, [&](std::size_t i) { __builtin_prefetch(bytes.data() + records[i]); });
}

std::string WordCounts::serialized() const {
    std::string out(serialized_size(), '\0');
    serialize_into(out.data());
    return out;
}

void WordCounts::serialize_into(char* at) const {
    std::string head;
    put_le(head, lines, 8);
    put_le(head, words.serialized_size(), 8);
    std::memcpy(at, head.data(), head.size());
    words.serialize_into(at + head.size());
    added_tokens.serialize_into(at + head.size() + words.serialized_size());
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
