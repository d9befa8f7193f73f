#include "state/id_holders.hpp"

namespace vocarix {

void IdHolders::build(const DocumentRecords& doc) {
    index_.clear(doc.vocab_size);
    shared_.clear();
    doc.for_each_entry([&](Symbol sym) { add(doc, sym); });
    built_ = true;
}

void IdHolders::add(const DocumentRecords& doc, Symbol sym) {
    std::uint32_t id = doc.ids[sym];
    auto head = index_.get(id);
    if (!head) {
        index_.set(id, sym);
        return;
    }
    auto [it, created] = shared_.try_emplace(id, ByText{&doc.strings});
    if (created) it->second.insert(*head);
    it->second.insert(sym);
    index_.set(id, *it->second.begin());
}

void IdHolders::remove(const DocumentRecords& doc, Symbol sym) {
    std::uint32_t id = doc.ids[sym];
    auto shared = shared_.find(id);
    if (shared == shared_.end()) {
        index_.erase(id);
        return;
    }
    shared->second.erase(sym);
    index_.set(id, *shared->second.begin());
    if (shared->second.size() == 1) shared_.erase(shared);
}

}  // namespace vocarix
