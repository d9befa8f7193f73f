// The vocabulary in ascending byte order of its keys, the order of every
// key-order walk. Kept lazily: a sorted run plus the entries inserted since
// it was made, merged on demand; deleted entries drop out at that merge.
#pragma once

#include <vector>

#include "document/records.hpp"

namespace vocarix {

class KeyOrder {
public:
    // Every current entry, in key order.
    const std::vector<Symbol>& get(const DocumentRecords& doc) const {
        if (!recent_.empty() || stale_ || from_scratch_) refresh(doc);
        return sorted_;
    }
    // Starts over from the document's entries (after loading); the sort
    // waits for the first walk.
    void reset() {
        sorted_.clear();
        recent_.clear();
        from_scratch_ = true;
    }
    void inserted(Symbol sym) { recent_.push_back(sym); }
    void deleted() { stale_ = true; }

private:
    void refresh(const DocumentRecords& doc) const;

    // The order is a cache of the vocabulary: refreshing it from a const
    // state changes nothing observable.
    mutable std::vector<Symbol> sorted_;
    mutable std::vector<Symbol> recent_;
    mutable bool stale_ = false;
    mutable bool from_scratch_ = false;  // every entry is still to be sorted
};

}  // namespace vocarix
