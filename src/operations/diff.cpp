#include "operations/diff.hpp"

#include <algorithm>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "document/json_writer.hpp"
#include "operations/added_tokens_view.hpp"

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

struct KeyedMerge {
    std::uint64_t left;
    std::uint64_t right;
    std::uint64_t position;
    bool operator<(const KeyedMerge& other) const {
        return std::tie(left, right, position) < std::tie(other.left, other.right, other.position);
    }
    bool same_pair(const KeyedMerge& other) const { return left == other.left && right == other.right; }
};

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
    a.for_each_entry([&](Symbol sym) {
        std::string_view text = a.text(sym);
        std::optional<std::uint32_t> id_b = b.token_id(text);
        if (!id_b) diff.only_in_a.push_back({std::string(text), a.id_of(sym)});
        else if (*id_b != a.id_of(sym)) diff.id_changed.push_back({std::string(text), a.id_of(sym), *id_b});
        else ++diff.common_tokens;
    });
    diff.common_tokens += diff.id_changed.size();
    b.for_each_entry([&](Symbol sym) {
        Symbol same = shared.a_symbol(sym);
        if (same == kNoSymbol || !a.in_vocab(same)) diff.only_in_b.push_back({std::string(b.text(sym)), b.id_of(sym)});
    });
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

    std::vector<KeyedMerge> keyed_a(slots_a.size()), keyed_b(slots_b.size());
    for (std::size_t p = 0; p < slots_a.size(); ++p) {
        Merge merge = a.merge_at(slots_a[p]);
        keyed_a[p] = {merge.left, merge.right, p};
    }
    bool identical = slots_a.size() == slots_b.size();
    for (std::size_t p = 0; p < slots_b.size(); ++p) {
        Merge merge = b.merge_at(slots_b[p]);
        keyed_b[p] = {shared.of_b(merge.left), shared.of_b(merge.right), p};
        identical = identical && keyed_b[p].same_pair(keyed_a[p]);
    }
    if (identical) {
        diff.common_merges = slots_a.size();
        return;
    }

    // Group equal pairs; within a group the k-th listing in A matches the k-th in B.
    std::sort(keyed_a.begin(), keyed_a.end());
    std::sort(keyed_b.begin(), keyed_b.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> matched;  // (position in A, position in B)
    std::vector<std::uint64_t> removed, added;
    std::size_t i = 0, j = 0;
    while (i < keyed_a.size() || j < keyed_b.size()) {
        if (j == keyed_b.size() || (i < keyed_a.size() && keyed_a[i] < keyed_b[j] && !keyed_a[i].same_pair(keyed_b[j]))) {
            removed.push_back(keyed_a[i++].position);
        } else if (i == keyed_a.size() || !keyed_a[i].same_pair(keyed_b[j])) {
            added.push_back(keyed_b[j++].position);
        } else {
            matched.emplace_back(keyed_a[i++].position, keyed_b[j++].position);
        }
    }
    diff.common_merges = matched.size();
    std::sort(removed.begin(), removed.end());
    std::sort(added.begin(), added.end());
    for (std::uint64_t p : removed) diff.merges_removed.push_back(positioned(a, slots_a, p));
    for (std::uint64_t p : added) diff.merges_added.push_back(positioned(b, slots_b, p));

    // Shared merges in A's order; those off a longest run that B keeps in order moved.
    std::sort(matched.begin(), matched.end());
    std::vector<std::uint64_t> order_b(matched.size());
    bool in_order = true;
    for (std::size_t k = 0; k < matched.size(); ++k) {
        order_b[k] = matched[k].second;
        in_order = in_order && (k == 0 || order_b[k - 1] < order_b[k]);
    }
    if (in_order) return;
    std::vector<std::size_t> kept = longest_increasing(order_b);
    std::vector<bool> stays(matched.size(), false);
    for (std::size_t k : kept) stays[k] = true;
    for (std::size_t k = 0; k < matched.size(); ++k) {
        if (stays[k]) continue;
        Merge merge = a.merge_at(slots_a[matched[k].first]);
        diff.merges_moved.push_back(
            {std::string(a.text(merge.left)), std::string(a.text(merge.right)), matched[k].first, matched[k].second});
    }
    std::sort(diff.merges_moved.begin(), diff.merges_moved.end(),
              [](const MovedMerge& x, const MovedMerge& y) { return x.position_b < y.position_b; });
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
