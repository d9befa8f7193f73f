#include "operations/workflows/fixed_size_addition.hpp"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "document/text.hpp"
#include "operations/exact/addition.hpp"

namespace vocarix {
namespace {

FixedSizeWord add_reachable(EditorState& state, Segmenter& segmenter, std::string_view word,
                            const FixedSizeOptions& options) {
    ReachableAddition added =
        add_word_reachable(state, segmenter, word, {options.add_unknown_characters, options.space_mark});
    FixedSizeWord out;
    out.token = std::move(added.token);
    out.outcome = std::move(added.outcome);
    out.pieces_before = std::move(added.pieces_before);
    out.piece_ids_before = std::move(added.piece_ids_before);
    out.unknown_characters = std::move(added.unknown_characters);
    out.merges_appended = std::move(added.merges_appended);
    out.entries_created = std::move(added.entries_created);
    return out;
}

FixedSizeWord split_word(std::string_view token) {
    FixedSizeWord out;
    out.token = std::string(token);
    out.outcome = "split";
    return out;
}

FixedSizeWord add_prefix(EditorState& state, Segmenter& segmenter, std::string_view token) {
    FixedSizeWord out;
    out.token = std::string(token);
    if (state.contains(token)) {
        out.outcome = "already_exists";
        return out;
    }
    WordPieces before = segmenter.pieces_of(word_of_token(state.sections.model, token));
    out.pieces_before = std::move(before.pieces);
    out.piece_ids_before = std::move(before.ids);
    const std::uint64_t first_new_id = state.next_id();
    std::vector<Symbol> changed;
    state.set_change_log(&changed);
    AdditionResult added;
    try {
        added = add_token(state, token);
    } catch (...) {
        state.set_change_log(nullptr);
        throw;
    }
    state.set_change_log(nullptr);
    out.outcome = "added";
    std::unordered_set<Symbol> listed;
    for (Symbol sym : changed)
        if (state.in_vocab(sym) && state.id_of(sym) >= first_new_id && listed.insert(sym).second)
            out.entries_created.emplace_back(state.text(sym), state.id_of(sym));
    std::sort(out.entries_created.begin(), out.entries_created.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    for (const StringPair& merge : added.added_merges)
        segmenter.merge_appended(state.find_symbol(merge.first), state.find_symbol(merge.second));
    out.merges_appended = std::move(added.added_merges);
    return out;
}

}  // namespace

void protect_derivation(EditorState& state, Segmenter& segmenter, ProtectedTokens& protect, std::string_view word,
                        std::string_view token) {
    Segmentation seg;
    std::vector<Symbol> formed;
    segmenter.segment(word, seg, formed);
    for (Symbol sym : formed) protect.add(sym);
    // The chain behind the token, whether or not the model reaches it.
    protect_producers(state, protect, state.intern(token));
}

void protect_producers(EditorState& state, ProtectedTokens& protect, Symbol token) {
    std::vector<Symbol> pending{token};
    const std::uint32_t epoch = state.next_epoch();
    while (!pending.empty()) {
        Symbol sym = pending.back();
        pending.pop_back();
        if (!state.mark_symbol(sym, epoch)) continue;
        protect.add(sym);
        SlotIndex producer = state.first_producer(sym);
        if (producer == kNoSlot) continue;
        pending.push_back(state.merge_at(producer).left);
        pending.push_back(state.merge_at(producer).right);
    }
}

EvictionRoom::EvictionRoom(EditorState& state, const UsageCounts& counts, const ProtectedTokens& protect,
                           Segmenter& segmenter, FixedSizeReport& report)
    : state_(state), counts_(counts), protect_(protect), segmenter_(segmenter), report_(report) {}

std::optional<std::uint32_t> EvictionRoom::room_for(const std::string& entry) {
    if (!free_ids_.empty()) {
        std::uint32_t id = free_ids_.back();
        free_ids_.pop_back();
        return id;
    }
    if (!order_) order_.emplace(state_, counts_, protect_);
    std::optional<Cascade> cascade = order_->next(state_, protect_);
    if (!cascade) return std::nullopt;
    Symbol victim = cascade->tokens.front();
    EvictedToken evicted{std::string(state_.text(victim)), state_.id_of(victim), counts_.of(victim), entry, {}};
    for (auto [sym, id] : remove_cascade(state_, *cascade, &segmenter_)) {
        if (sym == victim) continue;
        evicted.taken_along.emplace_back(state_.text(sym));
        free_ids_.push_back(id);
    }
    report_.evicted.push_back(std::move(evicted));
    return report_.evicted.back().id;
}

std::uint32_t EvictionRoom::move_in(const std::string& entry) {
    Symbol sym = state_.find_symbol(entry);
    std::optional<std::uint32_t> id = room_for(entry);
    if (!id) {
        report_.without_room.emplace_back(entry, state_.id_of(sym));
        return state_.id_of(sym);
    }
    state_.reassign_id(sym, *id);
    return *id;
}

void EvictionRoom::finish() {
    std::sort(free_ids_.begin(), free_ids_.end());
    report_.ids_left_free = std::move(free_ids_);
    report_.final_vocab_size = state_.vocab_size();
}

std::string_view word_of_token(const ModelSettings& model, std::string_view token) {
    std::string_view suffix = word_suffix(model);
    if (!suffix.empty() && token.size() > suffix.size() && token.ends_with(suffix))
        token.remove_suffix(suffix.size());
    return token;
}

namespace {

// The forms to add, in order, each with the word it was read from.
struct FormToAdd {
    const WordReading* reading;
    const WordForm* form;  // nullptr when the reading refused the word
};

std::vector<FormToAdd> forms_to_add(const std::vector<WordReading>& readings) {
    std::vector<FormToAdd> items;
    for (const WordReading& reading : readings) {
        if (reading.chosen.empty()) items.push_back({&reading, nullptr});
        for (const WordForm& form : reading.chosen) items.push_back({&reading, &form});
    }
    return items;
}

}  // namespace

FixedSizeReport add_words_fixed_size(EditorState& state, std::span<const std::string> tokens,
                                     const UsageCounts& counts, const FixedSizeOptions& options) {
    FixedSizeReport report;
    report.initial_vocab_size = state.vocab_size();
    WordReader reader(state, options.text);
    FixedSizeOptions chosen = options;  // with the style's space mark
    if (reader.style().style == TokenStyle::kMetaspace) chosen.space_mark = reader.style().marker;
    std::vector<WordReading> readings;
    readings.reserve(tokens.size());
    for (const std::string& given : tokens) readings.push_back(reader.read(given, options.reading));
    const std::vector<FormToAdd> items = forms_to_add(readings);

    const PreTokenCheck pre_tokens(state);
    report.pre_tokenizer_undecided_by = pre_tokens.undecided_by();
    ProtectedTokens protect(state, options.protection);
    Segmenter segmenter(state);
    EvictionRoom room(state, counts, protect, segmenter, report);

    // What the requested words pass through now stays for them all, so that
    // no word's eviction takes what a later word is built from.
    if (options.hold_size) {
        Segmentation seg;
        std::vector<Symbol> formed;
        for (const FormToAdd& item : items) {
            if (!item.form) continue;
            std::string_view word = word_of_token(state.sections.model, item.form->token);
            if (word.empty() || !is_valid_utf8(word)) continue;
            formed.clear();
            segmenter.segment(word, seg, formed);
            for (Symbol sym : formed) protect.add(sym);
        }
    }
    for (const FormToAdd& item : items) {
        if (!item.form) {
            FixedSizeWord refused;
            refused.requested = item.reading->given;
            refused.read_as_text = item.reading->read_as_text;
            refused.outcome = "refused";
            refused.refused = item.reading->refused;
            report.words.push_back(std::move(refused));
            continue;
        }
        const std::string& requested = item.form->token;
        std::string_view word = word_of_token(state.sections.model, requested);
        // No merge joins what the pre-tokenizer splits apart: entries for it would never be used.
        const PreTokenVerdict verdict = is_valid_utf8(word) ? pre_tokens.check(word) : PreTokenVerdict::kUndecided;
        FixedSizeWord added = verdict == PreTokenVerdict::kSplit ? split_word(requested)
                              : options.reachable                ? add_reachable(state, segmenter, word, chosen)
                                                                 : add_prefix(state, segmenter, requested);
        added.pre_tokenizer = verdict;
        added.requested = item.reading->given;
        added.form = requested;
        added.read_as_text = item.reading->read_as_text;
        added.contexts = item.form->contexts;
        added.capitalised = item.form->capitalised;
        added.family = item.form->family;
        if (item.form == &item.reading->chosen.front()) added.other_forms = item.reading->other_forms;
        if (!options.hold_size) {
            report.words.push_back(std::move(added));
            continue;
        }
        if (added.outcome != "unknown_characters" && added.outcome != "space_entry" && added.outcome != "empty" &&
            added.outcome != "split")
            protect_derivation(state, segmenter, protect, word, added.token);
        // Last created first, so that each move hands its fresh id back.
        for (auto it = added.entries_created.rbegin(); it != added.entries_created.rend(); ++it)
            it->second = room.move_in(it->first);
        report.words.push_back(std::move(added));
    }
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].form) measure_in_running_text(segmenter, *items[i].form, report.words[i]);
    room.finish();
    return report;
}

void measure_in_running_text(Segmenter& segmenter, const WordForm& form, FixedSizeWord& added) {
    const EditorState& state = segmenter.state();
    added.produced_in = 0;
    added.measured_in_text = form.looked_up;
    if (added.pre_tokenizer == PreTokenVerdict::kSplit) {
        added.produced_whole = false;
        return;
    }
    if (form.looked_up) {
        // A context the form was not found in gives the word otherwise: it is not produced there.
        for (const FormPlace& place : form.places)
            if (produced_in_place(segmenter, place)) added.produced_in |= place.context;
    } else {
        // Without the text pipeline, the word alone stands for every context.
        std::string_view word = word_of_token(state.sections.model, form.token);
        Segmentation seg;
        if (is_valid_utf8(word)) segmenter.segment(word, seg);
        bool alone = seg.pieces.size() == 1 && !seg.met_unknown && !seg.used_byte_fallback &&
                     state.text(seg.pieces[0]) == added.token;
        if (alone) added.produced_in = form.contexts;
    }
    added.produced_whole = form.contexts != 0 && (added.produced_in & form.contexts) == form.contexts;
}

std::vector<FixedSizeWord> measure_stored_tokens(const EditorState& state, std::span<const std::string> tokens,
                                                 TextSplitter* text) {
    WordReader reader(state, text);
    const PreTokenCheck pre_tokens(state);
    Segmenter segmenter(state);
    std::vector<FixedSizeWord> out;
    out.reserve(tokens.size());
    for (const std::string& token : tokens) {
        FixedSizeWord& word = out.emplace_back();
        word.requested = word.form = word.token = token;
        WordForm form = reader.stored_as_form(token);
        word.contexts = form.contexts;
        word.family = form.family;
        std::string_view body = word_of_token(state.sections.model, token);
        word.pre_tokenizer = is_valid_utf8(body) ? pre_tokens.check(body) : PreTokenVerdict::kUndecided;
        measure_in_running_text(segmenter, form, word);
    }
    return out;
}

}  // namespace vocarix
