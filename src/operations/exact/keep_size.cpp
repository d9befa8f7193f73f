#include "operations/exact/keep_size.hpp"

#include <algorithm>
#include <optional>

#include "document/text.hpp"
#include "operations/exact/addition.hpp"
#include "operations/exact/removal.hpp"

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
    AddedTokenSweep sweep(state);
    for (const std::string& token : tokens) {
        if (state.contains(token)) continue;
        add_token(state, token);
        ++report.tokens_added;
        if (queue) queue->refresh_all(changed);
        changed.clear();
        if (state.vocab_size() <= report.initial_vocab_size) continue;
        if (!queue) queue.emplace(state, protected_symbols);
        if (Symbol victim = queue->first(); victim != kNoSymbol) {
            remove_token_counted(state, victim, sweep);
            ++report.tokens_removed;
            queue->refresh_all(changed);
        }
    }
    sweep.flush();
    report.final_vocab_size = state.vocab_size();
    return report;
}

}  // namespace vocarix
