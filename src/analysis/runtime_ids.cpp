#include "analysis/runtime_ids.hpp"

#include <algorithm>
#include <unordered_set>

#include "analysis/added_tokens_view.hpp"
#include "document/document_ids.hpp"

namespace vocarix {

std::optional<std::uint32_t> RuntimeIds::id_of(std::string_view token) const {
    auto it = std::lower_bound(tokens.begin(), tokens.end(), token,
                               [](const auto& entry, std::string_view t) { return std::string_view(entry.first) < t; });
    if (it == tokens.end() || it->first != token) return std::nullopt;
    return it->second;
}

namespace {

std::size_t count_outside(const std::vector<RuntimeAddedToken>& added) {
    auto outside = [](const RuntimeAddedToken& token) { return !token.in_vocab; };
    return static_cast<std::size_t>(std::count_if(added.begin(), added.end(), outside));
}

}  // namespace

std::size_t RuntimeIds::outside_vocab() const { return count_outside(added); }

std::vector<RuntimeAddedToken> runtime_added_tokens(const EditorState& state) {
    std::vector<RuntimeAddedToken> tokens;
    std::unordered_set<std::string> seen;
    std::uint64_t next = state.vocab_size();
    for (AddedTokenEntry& entry : read_added_tokens(state.sections)) {
        if (entry.content.empty() || !seen.insert(entry.content).second) continue;
        RuntimeAddedToken token;
        token.position = entry.position;
        token.stored_id = entry.stored_id;
        token.special = entry.special;
        if (auto id = state.token_id(entry.content)) {
            token.in_vocab = true;
            token.runtime_id = *id;
        } else {
            token.runtime_id = next++;
        }
        token.content = std::move(entry.content);
        tokens.push_back(std::move(token));
    }
    return tokens;
}

namespace {

// The largest id an entry holds + 1 (0 for an empty vocabulary).
std::uint64_t entry_rows(const EditorState& state) {
    std::uint64_t rows = 0;
    state.for_each_entry([&](Symbol sym) { rows = std::max<std::uint64_t>(rows, std::uint64_t{state.id_of(sym)} + 1); });
    return rows;
}

}  // namespace

RuntimeIds runtime_ids(const EditorState& state) {
    RuntimeIds view;
    view.vocab_size = state.vocab_size();
    const std::vector<Symbol>& keys = state.key_order();
    view.tokens.reserve(keys.size());
    // Key order visits the strings out of memory order: each string's view
    // is prefetched well ahead, its bytes a little ahead.
    const StringPool& pool = state.records().strings;
    constexpr std::size_t kViewAhead = 16, kTextAhead = 8;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i + kViewAhead < keys.size()) pool.prefetch_view(keys[i + kViewAhead]);
        if (i + kTextAhead < keys.size()) pool.prefetch_text(keys[i + kTextAhead]);
        Symbol sym = keys[i];
        std::uint32_t id = state.id_of(sym);
        view.tokens.emplace_back(std::string(state.text(sym)), id);
        view.rows = std::max<std::uint64_t>(view.rows, std::uint64_t{id} + 1);
    }
    view.malformed = refused_added_tokens(state.sections);
    view.added = runtime_added_tokens(state);
    std::vector<std::pair<std::string, std::uint32_t>> outside;
    for (const RuntimeAddedToken& token : view.added) {
        view.rows = std::max(view.rows, token.runtime_id + 1);
        if (!token.in_vocab && token.runtime_id <= UINT32_MAX)
            outside.emplace_back(token.content, static_cast<std::uint32_t>(token.runtime_id));
    }
    if (!outside.empty()) {
        std::sort(outside.begin(), outside.end());
        std::size_t middle = view.tokens.size();
        view.tokens.insert(view.tokens.end(), std::make_move_iterator(outside.begin()),
                           std::make_move_iterator(outside.end()));
        std::inplace_merge(view.tokens.begin(), view.tokens.begin() + static_cast<std::ptrdiff_t>(middle),
                           view.tokens.end());
    }
    return view;
}

RuntimeIdLookup::RuntimeIdLookup(const EditorState& state)
    : state_(state), added_(runtime_added_tokens(state)), rows_(entry_rows(state)) {
    for (const RuntimeAddedToken& token : added_) {
        rows_ = std::max(rows_, token.runtime_id + 1);
        if (!token.in_vocab && token.runtime_id <= UINT32_MAX)
            outside_.emplace_back(token.content, static_cast<std::uint32_t>(token.runtime_id));
    }
    std::sort(outside_.begin(), outside_.end());
}

std::size_t RuntimeIdLookup::outside_vocab() const { return count_outside(added_); }

std::optional<std::uint32_t> RuntimeIdLookup::id_of(std::string_view token) const {
    if (std::optional<std::uint32_t> id = state_.token_id(token)) return id;
    auto it = std::lower_bound(outside_.begin(), outside_.end(), token,
                               [](const auto& entry, std::string_view t) { return std::string_view(entry.first) < t; });
    if (it == outside_.end() || it->first != token) return std::nullopt;
    return it->second;
}

}  // namespace vocarix
