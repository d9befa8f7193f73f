#include "operations/workflows/usage_prune.hpp"

#include <algorithm>
#include <stdexcept>

#include "analysis/added_tokens_view.hpp"

namespace vocarix {
namespace {

// The rank of a cascade that reaches a protected token: it never goes, and
// never changes, since every token on the way to the protected one shares it.
constexpr std::uint64_t kBlocked = UINT64_MAX;

class CascadeRanks {
public:
    CascadeRanks(EditorState& state, const UsageCounts& counts, const ProtectedTokens& protect)
        : state_(state), counts_(counts), protect_(protect) {
        const std::size_t symbols = state.symbol_count();
        rank_.assign(symbols, 0);
        // A merge's result is longer than its elements unless one is empty, and
        // then it is the other one: longest first, every result is ranked
        // before the strings that make it.
        std::size_t longest = 0;
        for (Symbol sym = 0; sym < symbols; ++sym) longest = std::max(longest, state.text(sym).size());
        std::vector<std::uint32_t> start(longest + 2, 0);
        for (Symbol sym = 0; sym < symbols; ++sym) ++start[longest - state.text(sym).size() + 1];
        for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
        std::vector<Symbol> by_length(symbols);
        for (Symbol sym = 0; sym < symbols; ++sym) by_length[start[longest - state.text(sym).size()]++] = sym;
        for (Symbol sym : by_length) rank_[sym] = compute(sym);
    }

    std::uint64_t of(Symbol sym) const { return sym < rank_.size() ? rank_[sym] : 0; }

    // The merge (left, right) -> result went with a removal: lowers the ranks
    // that depended on it. Calls changed(sym) for each string whose rank fell.
    template <class Changed>
    void merge_removed(Symbol left, Symbol right, Symbol result, Changed&& changed) {
        work_.clear();
        work_.push_back({left, of(result)});
        work_.push_back({right, of(result)});
        while (!work_.empty()) {
            auto [sym, lost] = work_.back();
            work_.pop_back();
            // Only a string whose largest count came from what went can fall.
            if (sym >= rank_.size() || rank_[sym] == kBlocked || rank_[sym] != lost) continue;
            std::uint64_t now = compute(sym);
            if (now == rank_[sym]) continue;
            std::uint64_t before = rank_[sym];
            rank_[sym] = now;
            changed(sym);
            state_.for_each_producer(sym, [&](SlotIndex s) {
                work_.push_back({state_.merge_at(s).left, before});
                work_.push_back({state_.merge_at(s).right, before});
            });
        }
    }

private:
    std::uint64_t compute(Symbol sym) const {
        std::uint64_t rank = 0;
        if (state_.in_vocab(sym)) {
            if (protect_.contains(sym)) return kBlocked;
            rank = counts_.of(sym);
        }
        state_.for_each_use(sym, [&](SlotIndex s) {
            Symbol result = state_.result_of(s);
            if (result != sym) rank = std::max(rank, of(result));
        });
        return rank;
    }

    struct Pending {
        Symbol sym;
        std::uint64_t lost;  // the rank of what went below it
    };

    EditorState& state_;
    const UsageCounts& counts_;
    const ProtectedTokens& protect_;
    std::vector<std::uint64_t> rank_;
    std::vector<Pending> work_;
};

struct PruneCandidate {
    std::uint64_t rank;
    std::uint32_t id;
    Symbol sym;
};

// Heap order: lowest rank at the front, the highest id among equals.
bool after(const PruneCandidate& a, const PruneCandidate& b) {
    if (a.rank != b.rank) return a.rank > b.rank;
    return a.id < b.id;
}

}  // namespace

PruneReport prune_by_usage(EditorState& state, const UsageCounts& counts, const PruneOptions& options) {
    if (!options.target_size && !options.min_count)
        throw std::invalid_argument("prune needs a target size or a minimum count");
    PruneReport report;
    report.initial_vocab_size = state.vocab_size();
    std::optional<std::uint64_t> target = options.target_size;
    if (target && options.room_for_outside_added_tokens)
        *target -= std::min<std::uint64_t>(*target, added_tokens_outside_vocab(state).size());
    report.initial_merges_count = state.merge_count();

    ProtectedTokens protect(state, options.protection);
    state.find_merge_string("");  // builds the merge lists, interning every result
    CascadeRanks ranks(state, counts, protect);
    std::vector<PruneCandidate> heap;
    auto candidate = [&](Symbol sym) {
        return state.in_vocab(sym) && !protect.contains(sym) && ranks.of(sym) != kBlocked;
    };
    state.for_each_entry([&](Symbol sym) {
        if (candidate(sym)) heap.push_back({ranks.of(sym), state.id_of(sym), sym});
    });
    std::make_heap(heap.begin(), heap.end(), after);
    auto push = [&](Symbol sym) {
        if (!candidate(sym)) return;
        heap.push_back({ranks.of(sym), state.id_of(sym), sym});
        std::push_heap(heap.begin(), heap.end(), after);
    };

    struct Removed {
        Symbol left, right, result;
    };
    std::vector<Removed> merges;
    while (!heap.empty()) {
        if (target && state.vocab_size() <= *target) break;
        std::pop_heap(heap.begin(), heap.end(), after);
        PruneCandidate top = heap.back();
        heap.pop_back();
        // Entries left behind by a change of rank, or by an earlier removal.
        if (!state.in_vocab(top.sym) || ranks.of(top.sym) != top.rank) continue;
        if (options.min_count && top.rank >= *options.min_count) break;
        std::optional<Cascade> cascade = guarded_cascade(state, top.sym, protect);
        if (!cascade) continue;
        if (target && cascade->entries > state.vocab_size() - *target) {
            ++report.passed_over;
            continue;
        }
        merges.clear();
        for (SlotIndex s : cascade->merges)
            merges.push_back({state.merge_at(s).left, state.merge_at(s).right, state.result_of(s)});
        PrunedToken pruned{std::string(state.text(top.sym)), top.id, counts.of(top.sym), top.rank, {}};
        for (auto [sym, id] : remove_cascade(state, *cascade))
            if (sym != top.sym) pruned.taken_along.emplace_back(state.text(sym));
        report.removed.push_back(std::move(pruned));
        for (const Removed& merge : merges) ranks.merge_removed(merge.left, merge.right, merge.result, push);
    }
    if (target) report.target_reached = state.vocab_size() <= *target;
    report.final_vocab_size = state.vocab_size();
    report.final_merges_count = state.merge_count();
    return report;
}

}  // namespace vocarix
