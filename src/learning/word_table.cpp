#include "learning/word_table.hpp"

#include <algorithm>
#include <sys/mman.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

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

std::string_view WordTable::word_at(std::uint32_t offset) const {
    std::uint32_t length;
    std::memcpy(&length, arena_.data() + offset, 4);
    return std::string_view(arena_).substr(offset + 4, length);
}

// Doubles the slots (1024 at first). Large tables ask for huge pages: every
// lookup lands on a page of its own, and small pages would each cost a walk
// of the page tables as well.
void WordTable::grow() {
    const std::size_t capacity = capacity_ ? capacity_ * 2 : 1024;
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

void WordTable::add_hashed(std::string_view word, std::uint64_t hash, std::uint64_t count) {
    if (count == 0) return;
    if (4 * (size_ + 1) > 3 * capacity_) grow();
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

void WordTable::add_batch(const WordBatch& batch) {
    // Fetch ahead: the slot a word lands on sixteen words before it is added,
    // the bytes that slot points to eight words before.
    constexpr std::size_t kSlotsAhead = 16, kBytesAhead = 8;
    const std::size_t n = batch.size();
    hashes_.resize(n);
    for (std::size_t i = 0; i < n; ++i) hashes_[i] = hash_word(batch[i]);
    for (std::size_t i = 0; i < n; ++i) {
        if (capacity_) {
            const std::size_t mask = capacity_ - 1;
            if (i + kSlotsAhead < n) __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hashes_[i + kSlotsAhead]) & mask]);
            if (i + kBytesAhead < n) {
                const Slot& ahead = slots_[static_cast<std::uint32_t>(hashes_[i + kBytesAhead]) & mask];
                if (ahead.count) __builtin_prefetch(arena_.data() + ahead.offset);
            }
        }
        add_hashed(batch[i], hashes_[i], 1);
    }
}

void WordTable::add(const WordTable& other) {
    other.for_each([&](std::string_view word, std::uint64_t count) { add(word, count); });
}

std::vector<std::pair<std::string, std::uint64_t>> WordTable::sorted() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(size_);
    for_each([&](std::string_view word, std::uint64_t count) { out.emplace_back(word, count); });
    std::sort(out.begin(), out.end());
    return out;
}

std::string WordTable::serialized() const {
    std::string out;
    out.reserve(8 * size_ + arena_.size());
    for_each([&](std::string_view word, std::uint64_t count) {
        put_le(out, word.size(), 4);
        out.append(word);
        put_le(out, count, 8);
    });
    return out;
}

void WordTable::add_serialized(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < 4) throw std::invalid_argument("a word table cut short");
        const std::uint64_t length = get_le(bytes, at, 4);
        if (bytes.size() - at - 4 < length + 8) throw std::invalid_argument("a word table cut short");
        add(bytes.substr(at + 4, length), get_le(bytes, at + 4 + length, 8));
        at += 4 + length + 8;
    }
}

std::string WordTable::json_by_count() const {
    // Sorted by count, then by word: ties are many (most words occur once),
    // so each record carries its word's first eight bytes, which settle
    // most of them without reaching into the arena.
    struct Record {
        std::uint64_t count, prefix;
        std::string_view word;
    };
    std::vector<Record> order;
    order.reserve(size_);
    for (std::size_t i = 0; i < capacity_; ++i) {
        if (!slots_[i].count) continue;
        const std::string_view word = word_at(slots_[i].offset);
        std::uint64_t prefix = 0;
        for (std::size_t k = 0; k < 8; ++k)
            prefix = prefix << 8 | (k < word.size() ? static_cast<unsigned char>(word[k]) : 0);
        order.push_back({slots_[i].count, prefix, word});
    }
    std::sort(order.begin(), order.end(), [](const Record& a, const Record& b) {
        if (a.count != b.count) return a.count > b.count;
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return a.word < b.word;
    });
    std::string out;
    out.reserve(arena_.size() + 26 * size_ + 4);
    out += "{";
    char digits[24];
    for (std::size_t i = 0; i < order.size(); ++i) {
        out += i ? ",\n" : "\n";
        append_python_json_string(out, order[i].word, false);
        out += ": ";
        out.append(digits, std::to_chars(digits, digits + sizeof digits, order[i].count).ptr);
    }
    out += order.empty() ? "}\n" : "\n}\n";
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
