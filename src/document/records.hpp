// A tokenizer document as records: its sections, every string interned
// once, the vocabulary by symbol and the merge list in order. The reader
// fills them and the writers walk them; the editor state keeps them and
// builds its indexes on top.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "document/document.hpp"
#include "document/string_pool.hpp"

namespace vocarix {

using SlotIndex = std::uint32_t;
inline constexpr SlotIndex kNoSlot = UINT32_MAX;

struct Merge {
    Symbol left;
    Symbol right;
};

struct DocumentRecords {
    DocumentSections sections;
    // Interning gives a string a symbol and never changes what an existing
    // symbol means, so caches built on a const document may intern (merge
    // results, for example) without changing anything observable.
    mutable StringPool strings;

    // Per symbol: the id it holds as an entry, and whether it is one.
    std::vector<std::uint32_t> ids;
    std::vector<std::uint8_t> in_vocab;
    std::size_t vocab_size = 0;
    // No vocabulary key is longer than this many bytes (an upper bound).
    std::size_t longest_key_bytes = 0;

    // Per slot, in list order; left is kNoSymbol once the merge is removed.
    std::vector<Merge> merges;
    std::size_t live_merges = 0;

    // Ids that added_tokens entries hold, sorted and unique.
    std::vector<std::uint32_t> reserved_ids;

    std::string_view text(Symbol sym) const { return strings.view(sym); }
    bool is_entry(Symbol sym) const { return sym < in_vocab.size() && in_vocab[sym]; }
    bool slot_live(SlotIndex s) const { return merges[s].left != kNoSymbol; }

    // Makes sure the per-symbol arrays cover `sym`. Symbols a cache interns
    // on a const document may lie beyond them: they are no entries.
    void cover(Symbol sym) {
        if (sym >= ids.size()) {
            ids.resize(static_cast<std::size_t>(sym) + 1, 0);
            in_vocab.resize(static_cast<std::size_t>(sym) + 1, 0);
        }
    }
    Symbol intern(std::string_view s) {
        Symbol sym = strings.intern(s);
        cover(sym);
        return sym;
    }
    Symbol intern(std::string_view s, std::uint64_t hash) {
        Symbol sym = strings.intern(s, hash);
        cover(sym);
        return sym;
    }

    // Loading: a token given twice keeps its last id.
    void load_entry(Symbol sym, std::uint32_t id) {
        if (!in_vocab[sym]) {
            in_vocab[sym] = 1;
            ++vocab_size;
            longest_key_bytes = std::max(longest_key_bytes, text(sym).size());
        }
        ids[sym] = id;
    }
    // Appends a merge at the end of the list, for loading and for edits alike.
    void append_merge(Symbol left, Symbol right) {
        if (merges.size() >= kNoSlot - 1) throw std::length_error("too many merges");
        merges.push_back({left, right});
        ++live_merges;
    }

    // Calls f(symbol) for every vocabulary entry, in no particular order.
    template <class F>
    void for_each_entry(F&& f) const {
        for (Symbol sym = 0; sym < in_vocab.size(); ++sym)
            if (in_vocab[sym]) f(sym);
    }
    // Calls f(slot) for every live merge in list order.
    template <class F>
    void for_each_merge(F&& f) const {
        for (SlotIndex s = 0; s < merges.size(); ++s)
            if (slot_live(s)) f(s);
    }
};

}  // namespace vocarix
