#include "document/string_pool.hpp"

#include <cstring>
#include <random>
#include <stdexcept>

namespace vocarix {
namespace {

constexpr std::size_t kBlockSize = 256 * 1024;
constexpr std::size_t kInitialTableSize = 1024;

std::uint64_t random_seed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

StringPool::StringPool() : seed_(random_seed()), table_(kInitialTableSize), mask_(kInitialTableSize - 1) {}

void StringPool::reserve(std::size_t symbols, std::size_t most) {
    views_.reserve(std::max(symbols, most));
    std::size_t slots = table_.size();
    while (!within_load(symbols, slots)) slots *= 2;
    if (slots != table_.size()) rehash(slots);
}

std::string_view StringPool::store(std::string_view s) {
    // A view of a literal, not a default view: its data pointer must not be null,
    // since views are passed on to memcpy and friends.
    if (s.empty()) return std::string_view("", 0);
    if (s.size() > kBlockSize / 4) {
        // Large strings get a block of their own so the current block is not wasted.
        auto block = std::make_unique<char[]>(s.size() + kReadSlack);
        std::memcpy(block.get(), s.data(), s.size());
        std::string_view stored(block.get(), s.size());
        blocks_.push_back(std::move(block));
        return stored;
    }
    if (remaining_ < s.size()) {
        // The slack is zeroed: bytes read past a string are never uninitialised.
        blocks_.push_back(std::make_unique<char[]>(kBlockSize + kReadSlack));
        cursor_ = blocks_.back().get();
        remaining_ = kBlockSize;
    }
    std::memcpy(cursor_, s.data(), s.size());
    std::string_view stored(cursor_, s.size());
    cursor_ += s.size();
    remaining_ -= s.size();
    return stored;
}

Symbol StringPool::intern(std::string_view s) { return intern(s, hash_bytes(s, seed_)); }

Symbol StringPool::intern(std::string_view s, std::uint64_t h) {
    if (!within_load(views_.size() + 1, table_.size())) rehash(table_.size() * 2);
    std::size_t i = probe_start(h);
    for (;; i = (i + 1) & mask_) {
        const Slot& slot = table_[i];
        if (slot.sym == kNoSymbol) break;
        if (holds(slot, s, tag_of(h))) return slot.sym;
    }
    if (views_.size() >= kNoSymbol || s.size() > UINT32_MAX) throw std::length_error("too many distinct strings");
    auto sym = static_cast<Symbol>(views_.size());
    std::string_view stored = store(s);
    views_.push_back(stored);
    table_[i] = Slot{tag_of(h), sym};
    return sym;
}

void StringPool::rehash(std::size_t slots) {
    std::vector<Slot> old = std::move(table_);
    table_.assign(slots, Slot{});
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
