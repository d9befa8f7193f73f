// Interned strings: every distinct string gets a dense 32-bit symbol, and the
// bytes live in an arena so that views into it stay valid for the pool's life.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace vocarix {

using Symbol = std::uint32_t;
inline constexpr Symbol kNoSymbol = UINT32_MAX;

// Unaligned loads of 8 and 4 bytes, for the hash and the comparison below.
inline std::uint64_t load_u64(const char* q) {
    std::uint64_t w;
    std::memcpy(&w, q, 8);
    return w;
}
inline std::uint32_t load_u32(const char* q) {
    std::uint32_t w;
    std::memcpy(&w, q, 4);
    return w;
}

// The pool's string hash, seeded per pool so that no input can be made to
// collide on purpose. Inline: loading hashes every string of a document.
inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) {
    auto mix = [](std::uint64_t a, std::uint64_t b) {
        unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
    };
    const char* p = s.data();
    const std::size_t n = s.size();
    std::uint64_t a, b;
    // Both multiplicands depend on the random seed, so no input can force a zero product.
    const std::uint64_t key = seed * 0xBF58476D1CE4E5B9ULL + 0x94D049BB133111EBULL;
    std::uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ULL);
    if (n <= 16) {
        // Tokens are short: two overlapping reads cover them with one multiply.
        if (n >= 8) {
            a = load_u64(p);
            b = load_u64(p + n - 8);
        } else if (n >= 4) {
            a = load_u32(p);
            b = load_u32(p + n - 4);
        } else if (n > 0) {
            a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
                (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n >> 1])) << 8) |
                static_cast<unsigned char>(p[n - 1]);
            b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t i = 0;
        for (; i + 16 < n; i += 16) h = mix(load_u64(p + i) ^ key, load_u64(p + i + 8) ^ h);
        a = load_u64(p + n - 16);
        b = load_u64(p + n - 8);
    }
    return mix(a ^ key, b ^ h);
}

// Byte equality of two strings of `n` bytes; short ones without a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8 && n <= 16) return load_u64(a) == load_u64(b) && load_u64(a + n - 8) == load_u64(b + n - 8);
    if (n >= 4 && n < 8) return load_u32(a) == load_u32(b) && load_u32(a + n - 4) == load_u32(b + n - 4);
    if (n < 4) {
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

class StringPool {
public:
    StringPool();
    StringPool(StringPool&&) noexcept = default;
    StringPool& operator=(StringPool&&) noexcept = default;

    // Returns the symbol of `s`, creating it when it is new.
    Symbol intern(std::string_view s);
    // Returns the symbol of `s`, or kNoSymbol when it was never interned.
    Symbol find(std::string_view s) const { return find(s, hash(s)); }
    // The same, with `h` = hash(s).
    Symbol find(std::string_view s, std::uint64_t h) const {
        for (std::size_t i = probe_start(h);; i = (i + 1) & mask_) {
            const Slot& slot = table_[i];
            if (slot.sym == kNoSymbol) return kNoSymbol;
            if (holds(slot, s, tag_of(h))) return slot.sym;
        }
    }
    // The seed of hash(): strings hashed with it elsewhere (another thread)
    // may be looked up or interned with their hash.
    std::uint64_t hash_seed() const { return seed_; }

    // Bulk interning hides memory latency: hash a batch of strings, prefetch
    // their slots, then (prefetch_entries) the views the slots name and the
    // bytes, then intern or find each with its hash.
    std::uint64_t hash(std::string_view s) const { return hash_bytes(s, seed_); }
    void prefetch_slot(std::uint64_t h) const { __builtin_prefetch(&table_[probe_start(h)]); }
    // For a batch whose slots were prefetched: each look-up misses the cache
    // three times (slot, view, bytes), so the whole batch's views are fetched,
    // then its bytes. `hash_of(item)` gives an item's hash.
    template <class Items, class HashOf>
    void prefetch_entries(const Items& items, HashOf&& hash_of) const {
        for (const auto& item : items) prefetch_slot_view(hash_of(item));
        for (const auto& item : items) prefetch_slot_text(hash_of(item));
    }
    Symbol intern(std::string_view s, std::uint64_t h);

    // Every stored string is followed by at least this many readable bytes, so
    // hot loops may copy a short string as whole words.
    static constexpr std::size_t kReadSlack = 16;

    std::string_view view(Symbol sym) const { return views_[sym]; }
    // Walks over many symbols in an order of their own hide memory latency by
    // prefetching a symbol's view well ahead, then its bytes a little ahead.
    void prefetch_view(Symbol sym) const { __builtin_prefetch(&views_[sym]); }
    void prefetch_text(Symbol sym) const { __builtin_prefetch(views_[sym].data()); }
    std::size_t size() const { return views_.size(); }
    // Sizes the table for `symbols` and reserves views for up to `most`.
    void reserve(std::size_t symbols, std::size_t most);
    void shrink_to_fit() { views_.shrink_to_fit(); }

private:
    void prefetch_slot_view(std::uint64_t h) const {
        const Slot& slot = table_[probe_start(h)];
        if (slot.sym != kNoSymbol) prefetch_view(slot.sym);
    }
    void prefetch_slot_text(std::uint64_t h) const {
        const Slot& slot = table_[probe_start(h)];
        if (slot.sym != kNoSymbol) prefetch_text(slot.sym);
    }

    // Eight bytes a slot keeps the table small; the hash's high half, kept
    // as a tag, means a probe reads the string only when it almost surely
    // matches.
    struct Slot {
        std::uint32_t tag = 0;
        Symbol sym = kNoSymbol;  // kNoSymbol marks an empty slot
    };
    static std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32); }
    bool holds(const Slot& slot, std::string_view s, std::uint32_t tag) const {
        if (slot.tag != tag) return false;
        std::string_view stored = views_[slot.sym];
        return stored.size() == s.size() && same_bytes(stored.data(), s.data(), s.size());
    }

    std::string_view store(std::string_view s);
    void rehash(std::size_t slots);
    // Linear probing stays fast up to about 70% occupancy.
    static bool within_load(std::size_t symbols, std::size_t slots) { return symbols * 10 <= slots * 7; }
    std::size_t probe_start(std::uint64_t h) const { return static_cast<std::size_t>(h) & mask_; }

    std::uint64_t seed_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    std::size_t remaining_ = 0;
    std::vector<std::string_view> views_;
    std::vector<Slot> table_;
    std::size_t mask_ = 0;
};

}  // namespace vocarix
