// Which vocabulary entries hold each id: the first in key order, and every
// holder of an id that several entries share. A cache of the vocabulary,
// built on first use and kept current by every insertion and deletion.
#pragma once

#include <cstdint>
#include <set>
#include <unordered_map>

#include "document/records.hpp"
#include "state/id_map.hpp"

namespace vocarix {

class IdHolders {
public:
    bool built() const { return built_; }
    void invalidate() { built_ = false; }
    void build(const DocumentRecords& doc);

    // Only once built.
    // The first entry in key order that holds `id`, or kNoSymbol.
    Symbol first_holder(std::uint32_t id) const {
        auto head = index_.get(id);
        return head ? *head : kNoSymbol;
    }
    bool held(std::uint32_t id) const { return index_.contains(id); }
    bool has_shared() const { return !shared_.empty(); }
    // `sym` has just become an entry, or is about to stop being one.
    void add(const DocumentRecords& doc, Symbol sym);
    void remove(const DocumentRecords& doc, Symbol sym);

private:
    struct ByText {
        const StringPool* pool;
        bool operator()(Symbol a, Symbol b) const { return pool->view(a) < pool->view(b); }
    };

    bool built_ = false;
    IdIndex index_;  // id -> first holder in key order
    std::unordered_map<std::uint32_t, std::set<Symbol, ByText>> shared_;
};

}  // namespace vocarix
