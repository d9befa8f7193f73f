#include "state/key_prefix_index.hpp"

#include <random>

namespace vocarix {
namespace {

constexpr std::uint64_t kModulus = (std::uint64_t{1} << 61) - 1;

std::uint64_t hash_base() {
    static const std::uint64_t base = [] {
        std::random_device seed;
        std::uint64_t drawn = (std::uint64_t{seed()} << 32) ^ seed();
        return 256 + drawn % (kModulus - 512);
    }();
    return base;
}

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

void RollingHash::extend(unsigned char byte) {
    unsigned __int128 product = static_cast<unsigned __int128>(value_) * hash_base() + byte + 1;
    std::uint64_t reduced = static_cast<std::uint64_t>(product & kModulus) + static_cast<std::uint64_t>(product >> 61);
    reduced = (reduced & kModulus) + (reduced >> 61);
    value_ = reduced >= kModulus ? reduced - kModulus : reduced;
}

std::uint64_t RollingHash::of(std::string_view s) {
    RollingHash hash;
    for (char c : s) hash.extend(static_cast<unsigned char>(c));
    return hash.value();
}

std::uint64_t KeyPrefixIndex::fingerprint(std::size_t length, std::uint64_t hash) {
    std::uint64_t print = mix(hash ^ mix(length + 0x9e3779b97f4a7c15ull));
    return print == 0 ? 1 : print;
}

void KeyPrefixIndex::rehash(std::size_t slot_count) {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(slot_count, 0);
    std::size_t mask = slots_.size() - 1;
    for (std::uint64_t print : old) {
        if (print == 0) continue;
        std::size_t i = print & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = print;
    }
}

void KeyPrefixIndex::reserve(std::size_t keys) {
    std::size_t slot_count = 64;
    while (slot_count < 2 * keys) slot_count *= 2;
    if (slot_count > slots_.size()) rehash(slot_count);
}

void KeyPrefixIndex::add(std::string_view key) {
    ++lengths_[key.size()];
    if (2 * (used_ + 1) > slots_.size()) rehash(slots_.empty() ? 64 : 2 * slots_.size());
    std::uint64_t print = fingerprint(key.size(), RollingHash::of(key));
    std::size_t mask = slots_.size() - 1, i = print & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = print;
    ++used_;
}

void KeyPrefixIndex::remove(std::string_view key) {
    auto length = lengths_.find(key.size());
    if (length == lengths_.end()) return;
    if (--length->second == 0) lengths_.erase(length);
    std::uint64_t print = fingerprint(key.size(), RollingHash::of(key));
    std::size_t mask = slots_.size() - 1, i = print & mask;
    while (slots_[i] != print) {
        if (slots_[i] == 0) return;
        i = (i + 1) & mask;
    }
    // Backward-shift deletion: move later members of the run into the gap
    // when their home slot lies at or before it, so no probe stops early.
    for (std::size_t gap = i, j = (i + 1) & mask;; j = (j + 1) & mask) {
        if (slots_[j] == 0) {
            slots_[gap] = 0;
            break;
        }
        std::size_t home = slots_[j] & mask;
        if (((j - home) & mask) >= ((j - gap) & mask)) {
            slots_[gap] = slots_[j];
            gap = j;
        }
    }
    --used_;
}

bool KeyPrefixIndex::may_hold(std::size_t length, std::uint64_t hash) const {
    if (slots_.empty()) return false;
    std::uint64_t print = fingerprint(length, hash);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = print & mask; slots_[i] != 0; i = (i + 1) & mask)
        if (slots_[i] == print) return true;
    return false;
}

}  // namespace vocarix
