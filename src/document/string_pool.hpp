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

std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed);

class StringPool {
public:
    StringPool();
    StringPool(StringPool&&) noexcept = default;
    StringPool& operator=(StringPool&&) noexcept = default;

    // Returns the symbol of `s`, creating it when it is new.
    Symbol intern(std::string_view s);
    // Returns the symbol of `s`, or kNoSymbol when it was never interned.
    Symbol find(std::string_view s) const;

    // Bulk interning hides memory latency: hash a batch of strings, prefetch
    // their slots, then the views the slots name, then the bytes, then intern
    // each with its hash.
    std::uint64_t hash(std::string_view s) const { return hash_bytes(s, seed_); }
    void prefetch_slot(std::uint64_t h) const { __builtin_prefetch(&table_[probe_start(h)]); }
    void prefetch_slot_view(std::uint64_t h) const {
        const Slot& slot = table_[probe_start(h)];
        if (slot.sym != kNoSymbol) prefetch_view(slot.sym);
    }
    void prefetch_slot_text(std::uint64_t h) const {
        const Slot& slot = table_[probe_start(h)];
        if (slot.sym != kNoSymbol) prefetch_text(slot.sym);
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
        return stored.size() == s.size() && (s.empty() || std::memcmp(stored.data(), s.data(), s.size()) == 0);
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
