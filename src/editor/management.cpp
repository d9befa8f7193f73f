#include "management.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <algorithm>
#include <optional>

#include "../tokenizer/errors.hpp"
#include "../tokenizer/text.hpp"
#include "addition.hpp"
#include "reindex.hpp"
#include "removal.hpp"
#include "shrink.hpp"

namespace vocarix {
namespace {

// Restores the state's change log when the operation ends, however it ends.
class ChangeLogScope {
public:
    ChangeLogScope(EditorState& state, std::vector<Symbol>& log) : state_(state) { state_.set_change_log(&log); }
    ~ChangeLogScope() { state_.set_change_log(nullptr); }
    ChangeLogScope(const ChangeLogScope&) = delete;
    ChangeLogScope& operator=(const ChangeLogScope&) = delete;

private:
    EditorState& state_;
};

// Unprotected entries in removal order: more characters first, then those a
// merge produces, then smaller bytes. Only the first is ever needed, so this
// is a heap built in linear time. A change pushes a fresh entry; entries that
// no longer describe the state are dropped when they reach the top.
class RemovalQueue {
public:
    RemovalQueue(const EditorState& state, std::vector<bool> protected_symbols)
        : state_(state), protected_(std::move(protected_symbols)) {
        state.for_each_entry([&](Symbol sym) {
            if (!is_protected(sym)) heap_.push_back(entry_for(sym));
        });
        std::make_heap(heap_.begin(), heap_.end(), After{&state_});
    }

    void refresh_all(std::vector<Symbol>& changed) {
        for (Symbol sym : changed) {
            if (!state_.in_vocab(sym) || is_protected(sym)) continue;
            heap_.push_back(entry_for(sym));
            std::push_heap(heap_.begin(), heap_.end(), After{&state_});
        }
        changed.clear();
    }

    // The entry to remove next, or kNoSymbol when every entry is protected.
    Symbol first() {
        while (!heap_.empty()) {
            const Entry& top = heap_.front();
            if (state_.in_vocab(top.sym) && top.produced == state_.is_produced(top.sym)) return top.sym;
            std::pop_heap(heap_.begin(), heap_.end(), After{&state_});
            heap_.pop_back();
        }
        return kNoSymbol;
    }

private:
    struct Entry {
        std::size_t length;
        bool produced;
        Symbol sym;
    };
    // Heap order: the entry to remove first sits at the front.
    struct After {
        const EditorState* state;
        bool operator()(const Entry& a, const Entry& b) const {
            if (a.length != b.length) return a.length < b.length;
            if (a.produced != b.produced) return b.produced;
            return state->text(a.sym) > state->text(b.sym);
        }
    };

    bool is_protected(Symbol sym) const { return sym < protected_.size() && protected_[sym]; }
    Entry entry_for(Symbol sym) const {
        return {char_length(state_.text(sym)), state_.is_produced(sym), sym};
    }

    const EditorState& state_;
    std::vector<bool> protected_;
    std::vector<Entry> heap_;
};

// Fixed-point text, right-aligned in `width`; independent of the C locale.
std::string format_fixed(double value, int decimals, std::size_t width = 0) {
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ptr);
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

double seconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
    return static_cast<double>(nanoseconds / 1'000'000'000) + static_cast<double>(nanoseconds % 1'000'000'000) / 1e9;
}

}  // namespace

KeepSizeReport add_tokens_keep_size(EditorState& state, const std::vector<std::string>& tokens,
                                    const std::vector<std::string>& whitelist) {
    KeepSizeReport report;
    report.initial_vocab_size = state.vocab_size();
    report.tokens_requested = tokens.size();

    std::vector<bool> protected_symbols;
    auto protect = [&](Symbol sym) {
        if (sym >= protected_symbols.size()) protected_symbols.resize(static_cast<std::size_t>(sym) + 1, false);
        protected_symbols[sym] = true;
    };
    for (const std::string& token : whitelist) protect(state.intern(token));
    protect(state.intern("\u2581"));
    state.for_each_entry([&](Symbol sym) {
        std::string_view text = state.text(sym);
        if (char_length(text) == 1 || is_special_token(text)) protect(sym);
    });

    std::vector<Symbol> changed;
    ChangeLogScope scope(state, changed);
    // Built when the first removal is due, from the state as it is then.
    std::optional<RemovalQueue> queue;
    for (const std::string& token : tokens) {
        if (state.contains(token)) continue;
        add_token(state, token);
        ++report.tokens_added;
        if (queue) queue->refresh_all(changed);
        changed.clear();
        if (state.vocab_size() <= report.initial_vocab_size) continue;
        if (!queue) queue.emplace(state, protected_symbols);
        if (Symbol victim = queue->first(); victim != kNoSymbol) {
            remove_token_counted(state, victim);
            ++report.tokens_removed;
            queue->refresh_all(changed);
        }
    }
    report.final_vocab_size = state.vocab_size();
    return report;
}

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed or broken stream must not stop the edit
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

SyncReport sync_single_chars(EditorState& state, const EditorState& source, std::uint32_t min_id,
                             const ProgressSink& progress) {
    using Clock = std::chrono::steady_clock;
    SyncReport report;
    report.initial_vocab_size = state.vocab_size();
    std::vector<std::string_view> missing;
    for (Symbol sym : source.key_order()) {
        std::string_view text = source.text(sym);
        if (char_length(text) != 1) continue;
        ++report.chars_in_source;
        if (!state.contains(text)) missing.push_back(text);
    }
    report.chars_added_count = missing.size();
    report.chars_already_present = report.chars_in_source - missing.size();
    if (missing.empty()) {
        report.final_vocab_size = state.vocab_size();
        return report;
    }
    // Removals free no ids, so check up front that every character can get one.
    if (missing.size() > state.free_ids()) throw IdSpaceExhausted();
    const std::string needed = std::to_string(missing.size());

    progress("\n   Pre-computing " + needed + " tokens to remove...\n");
    std::vector<ShrinkCandidate> candidates = find_shrink_candidates(state, missing.size(), min_id);
    const std::string found = std::to_string(candidates.size());
    progress("   Found " + found + " candidate tokens for removal\n");
    if (candidates.size() < missing.size())
        progress("   WARNING: Only found " + found + " tokens to remove, but need " + needed + "\n");

    progress("\n   Phase 1: Removing " + found + " tokens...\n");
    const Clock::time_point phase_start = Clock::now();
    Clock::time_point last_print = Clock::now();
    std::size_t processed = 0;
    for (const ShrinkCandidate& candidate : candidates) {
        RemovalCounts removed = remove_token_counted(state, candidate.token);
        report.total_tokens_removed += removed.tokens;
        report.total_merges_removed += removed.merges;
        ++processed;
        Clock::time_point now = Clock::now();
        auto since_print = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_print).count();
        if (since_print >= 100 || processed == candidates.size()) {
            double elapsed = seconds_between(phase_start, now);
            double fraction = static_cast<double>(processed) / static_cast<double>(candidates.size());
            double remaining = fraction > 0 ? elapsed / fraction - elapsed : 0.0;
            progress("\r   [" + format_fixed(fraction * 100.0, 1, 5) + "%] " + std::to_string(processed) + "/" + found +
                     " removed | Elapsed: " + format_fixed(elapsed, 1) + "s | ETA: " + format_fixed(remaining, 1) +
                     "s    ");
            last_print = now;
        }
    }
    progress("\n");

    progress("\n   Phase 2: Adding " + needed + " single-char tokens...\n");
    const Clock::time_point adding_start = Clock::now();
    for (std::string_view character : missing) add_token_atomic(state, character);
    progress("   Added " + needed + " tokens in " + format_fixed(seconds_between(adding_start, Clock::now()), 2) +
             "s\n");

    progress("\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n");
    ReindexResult reindexed = reindex_vocab(state);
    progress("   Reindexed " + std::to_string(reindexed.ids_remapped) + " IDs, removed " +
             std::to_string(reindexed.gaps_removed) + " gaps\n");

    report.final_vocab_size = state.vocab_size();
    return report;
}

}  // namespace vocarix
