#include "analysis/diff.hpp"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "document/json_writer.hpp"
#include "analysis/added_tokens_view.hpp"

namespace vocarix {
namespace {

// Both documents' strings as numbers of one space: A's symbols as they are,
// B's as the A symbol with the same text or, when A never saw the text, a
// number above all of A's.
class SharedSymbols {
public:
    SharedSymbols(const EditorState& a, const EditorState& b)
        : a_(a), b_(b), of_b_(b.symbol_count(), kUnknown) {}

    std::uint64_t of_b(Symbol sym) {
        std::uint64_t& mapped = of_b_[sym];
        if (mapped == kUnknown) {
            Symbol same = a_.find_symbol(b_.text(sym));
            mapped = same != kNoSymbol ? same : a_.symbol_count() + std::uint64_t{sym};
        }
        return mapped;
    }
    // The A symbol with the same text as B's `sym`, or kNoSymbol.
    Symbol a_symbol(Symbol sym) {
        std::uint64_t mapped = of_b(sym);
        return mapped < a_.symbol_count() ? static_cast<Symbol>(mapped) : kNoSymbol;
    }

private:
    static constexpr std::uint64_t kUnknown = UINT64_MAX;
    const EditorState& a_;
    const EditorState& b_;
    std::vector<std::uint64_t> of_b_;
};

// A's merges by pair, for matching B's against them: each pair leads to its
// listings in A, in list order, of which matching takes the earliest left.
class PairListings {
public:
    explicit PairListings(const std::vector<std::uint64_t>& keys) : next_(keys.size(), kNone) {
        std::size_t slots = 16;
        while (slots < keys.size() * 2) slots *= 2;
        table_.assign(slots, {kEmptyKey, kNone, kNone});
        mask_ = slots - 1;
        for (std::uint32_t p = 0; p < keys.size(); ++p) {
            Slot& slot = find(keys[p]);
            if (slot.key == kEmptyKey) slot = {keys[p], p, p};
            else slot.last = next_[slot.last] = p;
        }
    }
    // The earliest listing of `key` in A not taken yet, now taken; kNone when none is left.
    std::uint32_t take(std::uint64_t key) {
        Slot& slot = find(key);
        if (slot.key == kEmptyKey || slot.first == kNone) return kNone;
        std::uint32_t taken = slot.first;
        slot.first = next_[taken];
        return taken;
    }
    static constexpr std::uint32_t kNone = UINT32_MAX;

private:
    static constexpr std::uint64_t kEmptyKey = UINT64_MAX;
    struct Slot {
        std::uint64_t key;
        std::uint32_t first;
        std::uint32_t last;
    };
    Slot& find(std::uint64_t key) {
        std::uint64_t h = key * 0x9E3779B97F4A7C15ULL;
        std::size_t i = static_cast<std::size_t>(h ^ (h >> 29)) & mask_;
        while (table_[i].key != key && table_[i].key != kEmptyKey) i = (i + 1) & mask_;
        return table_[i];
    }
    std::vector<Slot> table_;
    std::vector<std::uint32_t> next_;
    std::size_t mask_ = 0;
};

// A pair as one number. Both halves fit 32 bits while the two documents
// hold fewer than 2^32 strings between them, which memory ensures.
std::uint64_t pair_key(std::uint64_t left, std::uint64_t right) { return (left << 32) | right; }

PositionedMerge positioned(const EditorState& state, const std::vector<SlotIndex>& slots, std::uint64_t position) {
    Merge merge = state.merge_at(slots[position]);
    return {position, std::string(state.text(merge.left)), std::string(state.text(merge.right))};
}

// Indexes into `sequence` of a longest strictly increasing subsequence.
std::vector<std::size_t> longest_increasing(const std::vector<std::uint64_t>& sequence) {
    std::vector<std::size_t> tails;  // tails[k]: index ending the best run of length k+1
    std::vector<std::size_t> before(sequence.size());
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        auto place = std::lower_bound(tails.begin(), tails.end(), sequence[i],
                                      [&](std::size_t index, std::uint64_t value) { return sequence[index] < value; });
        before[i] = place == tails.begin() ? SIZE_MAX : *(place - 1);
        if (place == tails.end()) tails.push_back(i);
        else *place = i;
    }
    std::vector<std::size_t> run(tails.size());
    std::size_t at = tails.empty() ? SIZE_MAX : tails.back();
    for (std::size_t k = run.size(); k-- > 0; at = before[at]) run[k] = at;
    return run;
}

void diff_vocabulary(const EditorState& a, const EditorState& b, SharedSymbols& shared, DocumentDiff& diff) {
    // One look-up per entry of B; A's entries then read what B holds for them.
    std::vector<std::uint8_t> in_b(a.symbol_count(), 0);
    std::vector<std::uint32_t> id_in_b(a.symbol_count());
    b.for_each_entry([&](Symbol sym) {
        Symbol same = shared.a_symbol(sym);
        if (same != kNoSymbol && a.in_vocab(same)) {
            in_b[same] = 1;
            id_in_b[same] = b.id_of(sym);
        } else {
            diff.only_in_b.push_back({std::string(b.text(sym)), b.id_of(sym)});
        }
    });
    a.for_each_entry([&](Symbol sym) {
        if (!in_b[sym]) diff.only_in_a.push_back({std::string(a.text(sym)), a.id_of(sym)});
        else if (id_in_b[sym] != a.id_of(sym)) diff.id_changed.push_back({std::string(a.text(sym)), a.id_of(sym), id_in_b[sym]});
        else ++diff.common_tokens;
    });
    diff.common_tokens += diff.id_changed.size();
    auto by_id = [](const TokenWithId& x, const TokenWithId& y) { return std::tie(x.id, x.token) < std::tie(y.id, y.token); };
    std::sort(diff.only_in_a.begin(), diff.only_in_a.end(), by_id);
    std::sort(diff.only_in_b.begin(), diff.only_in_b.end(), by_id);
    std::sort(diff.id_changed.begin(), diff.id_changed.end(), [](const TokenIdChange& x, const TokenIdChange& y) {
        return std::tie(x.id_a, x.token) < std::tie(y.id_a, y.token);
    });
}

void diff_merges(const EditorState& a, const EditorState& b, SharedSymbols& shared, DocumentDiff& diff) {
    std::vector<SlotIndex> slots_a, slots_b;
    slots_a.reserve(a.merge_count());
    slots_b.reserve(b.merge_count());
    a.for_each_merge([&](SlotIndex s) { slots_a.push_back(s); });
    b.for_each_merge([&](SlotIndex s) { slots_b.push_back(s); });

    std::vector<std::uint64_t> keys_a(slots_a.size()), keys_b(slots_b.size());
    for (std::size_t p = 0; p < slots_a.size(); ++p) {
        Merge merge = a.merge_at(slots_a[p]);
        keys_a[p] = pair_key(merge.left, merge.right);
    }
    bool identical = slots_a.size() == slots_b.size();
    for (std::size_t p = 0; p < slots_b.size(); ++p) {
        Merge merge = b.merge_at(slots_b[p]);
        keys_b[p] = pair_key(shared.of_b(merge.left), shared.of_b(merge.right));
        identical = identical && keys_b[p] == keys_a[p];
    }
    if (identical) {
        diff.common_merges = slots_a.size();
        return;
    }

    // Each listing in B takes the earliest listing of its pair in A not yet taken.
    PairListings listings(keys_a);
    std::vector<bool> taken_a(slots_a.size(), false);
    std::vector<std::uint64_t> order_a;  // A's position of each shared merge, in B's order
    std::vector<std::uint64_t> shared_b;
    for (std::size_t p = 0; p < slots_b.size(); ++p) {
        std::uint32_t in_a = listings.take(keys_b[p]);
        if (in_a == PairListings::kNone) {
            diff.merges_added.push_back(positioned(b, slots_b, p));
            continue;
        }
        taken_a[in_a] = true;
        order_a.push_back(in_a);
        shared_b.push_back(p);
    }
    for (std::size_t p = 0; p < slots_a.size(); ++p)
        if (!taken_a[p]) diff.merges_removed.push_back(positioned(a, slots_a, p));
    diff.common_merges = order_a.size();

    // Shared merges off a longest run that keeps A's order moved.
    if (std::is_sorted(order_a.begin(), order_a.end())) return;
    std::vector<bool> stays(order_a.size(), false);
    for (std::size_t k : longest_increasing(order_a)) stays[k] = true;
    for (std::size_t k = 0; k < order_a.size(); ++k) {
        if (stays[k]) continue;
        Merge merge = a.merge_at(slots_a[order_a[k]]);
        diff.merges_moved.push_back(
            {std::string(a.text(merge.left)), std::string(a.text(merge.right)), order_a[k], shared_b[k]});
    }
}

void diff_added_tokens(const EditorState& a, const EditorState& b, DocumentDiff& diff) {
    std::vector<AddedTokenEntry> list_a = read_added_tokens(a.sections);
    std::vector<AddedTokenEntry> list_b = read_added_tokens(b.sections);
    // Entries of B by content, each taken once, in list order.
    std::unordered_map<std::string_view, std::vector<std::size_t>> in_b;
    for (std::size_t k = list_b.size(); k-- > 0;) in_b[list_b[k].content].push_back(k);
    std::vector<bool> matched_b(list_b.size(), false);
    std::vector<std::size_t> order_b;  // B's index of each matched entry, in A's order
    for (const AddedTokenEntry& entry : list_a) {
        auto found = in_b.find(entry.content);
        if (found == in_b.end() || found->second.empty()) {
            diff.added_tokens_removed.push_back({entry.content, entry.json, std::nullopt});
            continue;
        }
        std::size_t k = found->second.back();
        found->second.pop_back();
        matched_b[k] = true;
        order_b.push_back(k);
        if (list_b[k].json != entry.json) diff.added_tokens_changed.push_back({entry.content, entry.json, list_b[k].json});
    }
    for (std::size_t k = 0; k < list_b.size(); ++k)
        if (!matched_b[k]) diff.added_tokens_added.push_back({list_b[k].content, std::nullopt, list_b[k].json});
    diff.added_tokens_reordered = !std::is_sorted(order_b.begin(), order_b.end());
}

std::optional<std::string> json_text(JsonValue value) { return compact_json(value).text; }

std::optional<std::string> optional_text(const std::optional<std::string>& value) {
    return value ? json_text(JsonValue{*value}) : json_text(JsonValue{});
}

// The model's settings as compact JSON, nullopt for fields the document leaves out.
std::vector<std::pair<const char*, std::optional<std::string>>> model_settings(const EditorState& state) {
    const ModelSettings& model = state.sections.model;
    const DocumentForm& form = state.sections.form;
    std::vector<std::pair<const char*, std::optional<std::string>>> settings = {
        {"type", json_text(JsonValue{model.type})},
        {"dropout", model.dropout ? json_text(JsonValue{*model.dropout}) : json_text(JsonValue{})},
        {"unk_token", form.unk_token_null ? json_text(JsonValue{}) : json_text(JsonValue{model.unk_token})},
        {"continuing_subword_prefix", optional_text(model.continuing_subword_prefix)},
        {"end_of_word_suffix", optional_text(model.end_of_word_suffix)},
        {"fuse_unk", json_text(JsonValue{model.fuse_unk})},
        {"byte_fallback", json_text(JsonValue{model.byte_fallback})},
        {"ignore_merges", json_text(JsonValue{model.ignore_merges})},
    };
    constexpr ModelField kFields[] = {ModelField::kType,     ModelField::kDropout,      ModelField::kUnkToken,
                                      ModelField::kPrefix,   ModelField::kSuffix,       ModelField::kFuseUnk,
                                      ModelField::kByteFallback, ModelField::kIgnoreMerges};
    for (std::size_t k = 0; k < settings.size(); ++k)
        if (form.absent(kFields[k])) settings[k].second.reset();
    return settings;
}

std::vector<std::pair<const char*, std::optional<std::string>>> other_sections(const EditorState& state) {
    const DocumentSections& s = state.sections;
    std::vector<std::pair<const char*, std::optional<std::string>>> sections = {
        {"version", json_text(JsonValue{s.version})}, {"truncation", s.truncation.text},
        {"padding", s.padding.text},                  {"normalizer", s.normalizer.text},
        {"pre_tokenizer", s.pre_tokenizer.text},      {"post_processor", s.post_processor.text},
        {"decoder", s.decoder.text},
    };
    constexpr TopField kFields[] = {TopField::kVersion,      TopField::kTruncation,    TopField::kPadding,
                                    TopField::kNormalizer,   TopField::kPreTokenizer, TopField::kPostProcessor,
                                    TopField::kDecoder};
    for (std::size_t k = 0; k < sections.size(); ++k)
        if (s.form.absent(kFields[k])) sections[k].second.reset();
    return sections;
}

void compare_values(const std::vector<std::pair<const char*, std::optional<std::string>>>& before,
                    const std::vector<std::pair<const char*, std::optional<std::string>>>& after,
                    std::vector<ValueChange>& changes) {
    for (std::size_t k = 0; k < before.size(); ++k)
        if (before[k].second != after[k].second) changes.push_back({before[k].first, before[k].second, after[k].second});
}

}  // namespace

DocumentDiff diff_documents(const EditorState& a, const EditorState& b) {
    DocumentDiff diff;
    SharedSymbols shared(a, b);
    diff_vocabulary(a, b, shared, diff);
    diff_merges(a, b, shared, diff);
    diff_added_tokens(a, b, diff);
    compare_values(model_settings(a), model_settings(b), diff.model_changes);
    compare_values(other_sections(a), other_sections(b), diff.sections_changed);
    return diff;
}

}  // namespace vocarix
