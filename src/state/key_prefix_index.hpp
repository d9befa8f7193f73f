// Which byte lengths the vocabulary keys have, and a fingerprint of each key
// by (length, rolling hash). With them the longest key that is a prefix of a
// string is found in one pass over the string: hash it byte by byte, and at
// each length some key has, look the prefix's fingerprint up. Only a hit
// needs a real lookup, so the cost follows the string's length and the
// number of distinct key lengths, never their product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace vocarix {

// Polynomial hash of a byte string modulo 2^61 - 1, extended one byte at a
// time, so every prefix's hash comes from the previous one. The base is
// drawn once per process, so no input can be made to collide on purpose.
class RollingHash {
public:
    std::uint64_t value() const { return value_; }
    void extend(unsigned char byte);
    static std::uint64_t of(std::string_view s);

private:
    std::uint64_t value_ = 0;
};

class KeyPrefixIndex {
public:
    // Unbuilt until its owner has added every key; an unbuilt index is not kept current.
    bool built() const { return built_; }
    void mark_built() { built_ = true; }
    // Makes room for `keys` keys at once, before adding them.
    void reserve(std::size_t keys);
    void add(std::string_view key);
    void remove(std::string_view key);

    // Key byte length -> how many keys have it, ascending.
    const std::map<std::size_t, std::size_t>& lengths() const { return lengths_; }
    bool has_length(std::size_t length) const { return lengths_.contains(length); }
    // False when no key has this length and rolling hash; true may be a
    // collision, to be confirmed by a real lookup.
    bool may_hold(std::size_t length, std::uint64_t hash) const;

private:
    static std::uint64_t fingerprint(std::size_t length, std::uint64_t hash);
    void rehash(std::size_t slot_count);

    bool built_ = false;
    std::map<std::size_t, std::size_t> lengths_;
    // Open addressing with linear probing; 0 marks an empty slot. Keys that
    // share a fingerprint (collisions) take a slot each.
    std::vector<std::uint64_t> slots_;
    std::size_t used_ = 0;
};

}  // namespace vocarix
