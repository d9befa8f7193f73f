#include "operations/workflows/consistency_check.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_set>

#include "document/errors.hpp"
#include "analysis/segmentation.hpp"

namespace vocarix {
namespace {

// Why the runtime refuses the merge at slot `s`, or nothing when it takes it.
// The runtime's result of (left, right) is left followed by right without
// the continuing-subword prefix's length in bytes, which must end on a
// character boundary of right.
std::optional<MergeProblem> merge_problem(const EditorState& state, const Segmenter& segmenter, SlotIndex s,
                                          std::uint64_t position, std::string_view prefix, std::string& scratch) {
    Merge merge = state.merge_at(s);
    std::string_view left = state.text(merge.left), right = state.text(merge.right);
    auto problem = [&](const char* reason, std::string_view missing) {
        return MergeProblem{position, std::string(left), std::string(right), reason, std::string(missing)};
    };
    if (!state.in_vocab(merge.left)) return problem("left", left);
    if (!state.in_vocab(merge.right)) return problem("right", right);
    const std::size_t cut = prefix.size();
    if (right.size() < cut || (cut < right.size() && (static_cast<unsigned char>(right[cut]) & 0xC0) == 0x80))
        return problem("prefix", prefix);
    segmenter.merge_result_text(merge.left, merge.right, scratch);
    if (!state.contains(scratch)) return problem("result", scratch);
    return std::nullopt;
}

std::vector<std::pair<SlotIndex, MergeProblem>> merge_problems(const EditorState& state) {
    std::vector<std::pair<SlotIndex, MergeProblem>> problems;
    const std::string_view prefix = subword_prefix(state.sections.model);
    const Segmenter segmenter(state);
    std::string scratch;
    std::uint64_t position = 0;
    // Without a prefix the runtime's result is the concatenation, which the
    // merge lists hold: a merge whose three strings are entries is taken
    // without building or hashing any string.
    const bool results_known = prefix.empty();
    state.for_each_merge([&](SlotIndex s) {
        Merge merge = state.merge_at(s);
        bool taken = results_known && state.in_vocab(merge.left) && state.in_vocab(merge.right) &&
                     state.in_vocab(state.result_of(s));
        if (!taken) {
            if (auto problem = merge_problem(state, segmenter, s, position, prefix, scratch))
                problems.emplace_back(s, std::move(*problem));
        }
        ++position;
    });
    return problems;
}

std::vector<SharedId> shared_ids(const EditorState& state, const RuntimeIdLookup& view) {
    std::map<std::uint32_t, std::vector<std::string>> holders;
    if (state.has_shared_ids()) {
        std::map<std::uint32_t, std::vector<Symbol>> by_id;
        for (Symbol sym : state.key_order()) by_id[state.id_of(sym)].push_back(sym);
        for (auto& [id, syms] : by_id)
            if (syms.size() > 1)
                for (Symbol sym : syms) holders[id].emplace_back(state.text(sym));
    }
    for (const RuntimeAddedToken& token : view.added()) {
        if (token.in_vocab || token.runtime_id > UINT32_MAX) continue;
        auto id = static_cast<std::uint32_t>(token.runtime_id);
        Symbol holder = state.token_by_id(id);
        if (holder == kNoSymbol) continue;
        std::vector<std::string>& tokens = holders[id];
        if (tokens.empty()) tokens.emplace_back(state.text(holder));
        tokens.push_back(token.content);
    }
    std::vector<SharedId> shared;
    for (auto& [id, tokens] : holders) shared.push_back({id, std::move(tokens)});
    return shared;
}

}  // namespace

ConsistencyReport check_consistency(const EditorState& state) {
    ConsistencyReport report;
    const RuntimeIdLookup view(state);
    report.merges_as_object = state.sections.form.merges == MergeForm::kEmptyObject && state.merge_count() == 0;
    for (auto& [slot, problem] : merge_problems(state)) report.merges.push_back(std::move(problem));
    report.malformed_added = refused_added_tokens(state.sections);
    for (const RuntimeAddedToken& token : view.added()) {
        if (token.stored_id && *token.stored_id == token.runtime_id) continue;
        AddedIdProblem problem{token.position, token.content, token.stored_id, token.runtime_id};
        (token.in_vocab ? report.added_ids : report.renumbered).push_back(std::move(problem));
    }
    report.shared_ids = shared_ids(state, view);
    for (IdReference& reference : read_id_references(state.sections)) {
        std::optional<std::uint32_t> id = view.id_of(reference.token);
        if (id && reference.id == id) continue;
        report.references.push_back({std::move(reference.where), std::move(reference.token), reference.id, id});
    }
    report.rows = view.rows();
    report.vocab_size = state.vocab_size();
    report.outside_vocab = view.outside_vocab();
    return report;
}

PinReport pin_added_tokens(EditorState& state, const RuntimeIds& before) {
    struct Pin {
        std::string content;
        std::optional<std::uint32_t> id_before;
        std::optional<std::uint32_t> target;
        Symbol sym = kNoSymbol;
    };
    std::vector<Pin> pins;
    bool needed = false;
    for (const RuntimeAddedToken& token : runtime_added_tokens(state)) {
        if (token.in_vocab) continue;
        std::optional<std::uint32_t> id_before = before.id_of(token.content);
        std::uint64_t wanted = id_before ? *id_before : token.runtime_id;
        bool collides = token.runtime_id <= UINT32_MAX &&
                        state.token_by_id(static_cast<std::uint32_t>(token.runtime_id)) != kNoSymbol;
        if (wanted != token.runtime_id || collides) needed = true;
        std::optional<std::uint32_t> target;
        if (wanted <= UINT32_MAX) target = static_cast<std::uint32_t>(wanted);
        pins.push_back({token.content, id_before, target});
    }
    PinReport report;
    if (!needed) return report;

    // A token keeps its id unless an entry that was there before the edit
    // holds it; an entry the edit created moves off it instead.
    std::unordered_set<std::uint32_t> targets;
    std::vector<Symbol> displaced;
    for (Pin& pin : pins) {
        if (!pin.target || !targets.insert(*pin.target).second) {
            pin.target.reset();
            continue;
        }
        Symbol holder = state.token_by_id(*pin.target);
        if (holder == kNoSymbol) continue;
        if (before.id_of(state.text(holder))) {
            targets.erase(*pin.target);
            pin.target.reset();
        } else {
            displaced.push_back(holder);
        }
    }
    // Fresh ids come after every id in use, skipping those added_tokens hold.
    std::uint64_t next = state.next_id();
    state.for_each_entry([&](Symbol sym) { next = std::max(next, std::uint64_t{state.id_of(sym)} + 1); });
    const std::vector<std::uint32_t>& reserved = state.records().reserved_ids;
    auto in_use = [&](std::uint32_t id) {
        return targets.count(id) || std::binary_search(reserved.begin(), reserved.end(), id);
    };
    auto fresh_id = [&] {
        while (next <= UINT32_MAX && in_use(static_cast<std::uint32_t>(next))) ++next;
        if (next > UINT32_MAX) throw IdSpaceExhausted();
        return static_cast<std::uint32_t>(next++);
    };
    // Entered under passing ids first, then all moved to their own at once.
    for (Pin& pin : pins) pin.sym = state.insert_entry(pin.content);
    std::vector<std::pair<Symbol, std::uint32_t>> ids;
    ids.reserve(state.vocab_size());
    state.for_each_entry([&](Symbol sym) { ids.emplace_back(sym, state.id_of(sym)); });
    std::sort(ids.begin(), ids.end());
    auto set_id = [&](Symbol sym, std::uint32_t id) {
        std::lower_bound(ids.begin(), ids.end(), std::pair{sym, 0u})->second = id;
    };
    for (Pin& pin : pins) {
        std::uint32_t id = pin.target ? *pin.target : fresh_id();
        set_id(pin.sym, id);
        report.pinned.push_back({pin.content, id, pin.id_before});
    }
    for (Symbol sym : displaced) {
        std::uint32_t id = fresh_id();
        set_id(sym, id);
        report.moved.emplace_back(std::string(state.text(sym)), id);
    }
    state.assign_ids(ids);
    return report;
}

RepairReport make_loadable(EditorState& state, const RuntimeIds& before) {
    RepairReport report;
    DocumentForm& form = state.sections.form;
    if (form.merges == MergeForm::kEmptyObject) {
        report.merges_made_list = state.merge_count() == 0;
        form.merges = MergeForm::kPairs;
    }
    // Pinned tokens are entries from then on, which merges may name.
    PinReport pins = pin_added_tokens(state, before);
    report.pinned = std::move(pins.pinned);
    report.new_entries_moved = std::move(pins.moved);

    std::vector<SlotIndex> refused;
    for (auto& [slot, problem] : merge_problems(state)) {
        refused.push_back(slot);
        report.merges_removed.push_back(std::move(problem));
    }
    if (!refused.empty()) state.erase_merges(refused);

    const RuntimeIdLookup view(state);
    report.added_ids = rewrite_added_token_ids(state.sections, [&](std::string_view content, auto) {
        // The runtime skips empty content: it has no id to state.
        return content.empty() ? std::nullopt : view.id_of(content);
    });
    report.references =
        rewrite_reference_ids(state.sections, [&](std::string_view token, auto) { return view.id_of(token); });
    return report;
}

}  // namespace vocarix
