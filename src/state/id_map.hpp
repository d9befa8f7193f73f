// Open-addressing hash map from 32-bit keys to 32-bit values (linear probing,
// backward-shift deletion). Compact: eight bytes per slot, no per-entry allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vocarix {

class IdMap {
public:
    IdMap() { clear(); }

    std::size_t size() const { return size_; }

    void clear(std::size_t expected = 0) {
        std::size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        size_ = 0;
    }

    std::optional<std::uint32_t> get(std::uint32_t key) const {
        for (std::size_t i = start(key);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.used) return std::nullopt;
            if (slot.key == key) return slot.value;
        }
    }

    bool contains(std::uint32_t key) const { return get(key).has_value(); }

    void set(std::uint32_t key, std::uint32_t value) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = start(key);
        for (;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.used) break;
            if (slot.key == key) {
                slot.value = value;
                return;
            }
        }
        slots_[i] = Slot{key, value, true};
        ++size_;
    }

    void erase(std::uint32_t key) {
        std::size_t i = start(key);
        for (;; i = (i + 1) & mask_) {
            if (!slots_[i].used) return;
            if (slots_[i].key == key) break;
        }
        // Shift later members of the probe run back so lookups never stop early.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask_; slots_[j].used; j = (j + 1) & mask_) {
            std::size_t home = start(slots_[j].key);
            bool movable = hole <= j ? (home <= hole || home > j) : (home <= hole && home > j);
            if (movable) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Slot{};
        --size_;
    }

private:
    struct Slot {
        std::uint32_t key = 0;
        std::uint32_t value = 0;
        bool used = false;
    };

    std::size_t start(std::uint32_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 20) & mask_;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.used) continue;
            std::size_t i = start(slot.key);
            while (slots_[i].used) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

// Map from token id to symbol. Ids are usually dense from 0, so they live in
// a plain array indexed by id; ids far beyond the vocabulary size go to a hash map.
class IdIndex {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    void clear(std::size_t expected) {
        dense_.assign(expected + 1024, kNone);
        sparse_.clear();
        size_ = 0;
    }
    std::size_t size() const { return size_; }

    std::optional<std::uint32_t> get(std::uint32_t id) const {
        if (id < dense_.size()) {
            if (dense_[id] == kNone) return std::nullopt;
            return dense_[id];
        }
        return sparse_.get(id);
    }
    bool contains(std::uint32_t id) const { return get(id).has_value(); }

    // `value` must not be kNone.
    void set(std::uint32_t id, std::uint32_t value) {
        // Grow the array for ids just past it (new tokens), not for far outliers.
        if (id >= dense_.size() && id < 2 * dense_.size()) dense_.resize(std::size_t{id} + 1, kNone);
        if (id < dense_.size()) {
            size_ += dense_[id] == kNone;
            dense_[id] = value;
            return;
        }
        std::size_t before = sparse_.size();
        sparse_.set(id, value);
        size_ += sparse_.size() - before;
    }
    void erase(std::uint32_t id) {
        if (id < dense_.size()) {
            size_ -= dense_[id] != kNone;
            dense_[id] = kNone;
            return;
        }
        std::size_t before = sparse_.size();
        sparse_.erase(id);
        size_ -= before - sparse_.size();
    }

private:
    std::vector<std::uint32_t> dense_;
    IdMap sparse_;
    std::size_t size_ = 0;
};

}  // namespace vocarix
