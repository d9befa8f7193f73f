#include "string_pool.hpp"

#include <cstring>
#include <random>
#include <stdexcept>

namespace vocarix {
namespace {

constexpr std::size_t kBlockSize = 256 * 1024;
constexpr std::size_t kInitialTableSize = 1024;

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

std::uint64_t random_seed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ULL);
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mix(h ^ w, 0xBF58476D1CE4E5B9ULL);
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = mix(h ^ tail ^ (static_cast<std::uint64_t>(n) << 59), 0x94D049BB133111EBULL);
    return mix(h, 0x2545F4914F6CDD1DULL);
}

StringPool::StringPool() : seed_(random_seed()), table_(kInitialTableSize), mask_(kInitialTableSize - 1) {}

void StringPool::reserve(std::size_t symbols) {
    views_.reserve(symbols);
    while (table_.size() < symbols * 2) grow_table();
}

std::string_view StringPool::store(std::string_view s) {
    if (s.empty()) return std::string_view();
    if (s.size() > kBlockSize / 4) {
        // Large strings get a block of their own so the current block is not wasted.
        auto block = std::make_unique<char[]>(s.size());
        std::memcpy(block.get(), s.data(), s.size());
        std::string_view stored(block.get(), s.size());
        blocks_.push_back(std::move(block));
        return stored;
    }
    if (remaining_ < s.size()) {
        blocks_.push_back(std::make_unique<char[]>(kBlockSize));
        cursor_ = blocks_.back().get();
        remaining_ = kBlockSize;
    }
    std::memcpy(cursor_, s.data(), s.size());
    std::string_view stored(cursor_, s.size());
    cursor_ += s.size();
    remaining_ -= s.size();
    return stored;
}

Symbol StringPool::find(std::string_view s) const {
    for (std::size_t i = probe_start(hash_bytes(s, seed_));; i = (i + 1) & mask_) {
        const Slot& slot = table_[i];
        if (slot.sym == kNoSymbol) return kNoSymbol;
        if (slot.holds(s)) return slot.sym;
    }
}

Symbol StringPool::intern(std::string_view s) {
    if ((views_.size() + 1) * 2 > table_.size()) grow_table();
    std::size_t i = probe_start(hash_bytes(s, seed_));
    for (;; i = (i + 1) & mask_) {
        const Slot& slot = table_[i];
        if (slot.sym == kNoSymbol) break;
        if (slot.holds(s)) return slot.sym;
    }
    if (views_.size() >= kNoSymbol || s.size() > UINT32_MAX) throw std::length_error("too many distinct strings");
    auto sym = static_cast<Symbol>(views_.size());
    std::string_view stored = store(s);
    views_.push_back(stored);
    table_[i] = Slot{stored.data(), static_cast<std::uint32_t>(stored.size()), sym};
    return sym;
}

void StringPool::grow_table() {
    std::vector<Slot> old = std::move(table_);
    table_.assign(old.size() * 2, Slot{});
    mask_ = table_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.sym == kNoSymbol) continue;
        std::uint64_t h = hash_bytes(views_[slot.sym], seed_);
        std::size_t i = probe_start(h);
        while (table_[i].sym != kNoSymbol) i = (i + 1) & mask_;
        table_[i] = slot;
    }
}

}  // namespace vocarix
