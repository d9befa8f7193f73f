#include "learning/vocabulary_merge.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "analysis/added_tokens_view.hpp"
#include "analysis/segmentation.hpp"
#include "analysis/token_style.hpp"
#include "document/errors.hpp"
#include "document/text.hpp"
#include "operations/workflows/fixed_size_addition.hpp"
#include "operations/workflows/reachable_addition.hpp"

namespace vocarix {
namespace {

struct OtherToken {
    std::string text;
    StringPair made_of;  // OTHER's first merge that makes it; empty for its alphabet
    std::uint64_t rank;  // its place in OTHER's order
};

// OTHER's entries in the order its model builds them: those no merge makes
// (by id), then each merge's result at its first merge. Added tokens left out.
std::vector<OtherToken> tokens_in_merge_order(const EditorState& other) {
    std::unordered_set<std::string> added;
    for (const AddedTokenEntry& entry : read_added_tokens(other.sections)) added.insert(entry.content);
    if (!other.sections.form.unk_token_null) added.insert(other.sections.model.unk_token);
    std::vector<OtherToken> tokens;
    std::vector<std::pair<std::uint32_t, Symbol>> alphabet;
    other.for_each_entry([&](Symbol sym) {
        if (!other.is_produced(sym)) alphabet.emplace_back(other.id_of(sym), sym);
    });
    std::sort(alphabet.begin(), alphabet.end());
    for (const auto& [id, sym] : alphabet) tokens.push_back({std::string(other.text(sym)), {}, 0});
    Segmenter segmenter(other);
    std::unordered_set<std::string> seen;
    std::string text;
    other.for_each_merge([&](SlotIndex s) {
        Merge merge = other.merge_at(s);
        segmenter.merge_result_text(merge.left, merge.right, text);
        if (other.contains(text) && seen.insert(text).second)
            tokens.push_back({text, {std::string(other.text(merge.left)), std::string(other.text(merge.right))}, 0});
    });
    std::erase_if(tokens, [&](const OtherToken& token) { return added.contains(token.text) || token.text.empty(); });
    for (std::size_t i = 0; i < tokens.size(); ++i) tokens[i].rank = i;
    return tokens;
}

// How many entries adding `word` can create at most: a character entry for
// each character nothing spells, and one per join of the pieces.
std::uint64_t entries_needed(const EditorState& base, Segmenter& segmenter, std::string_view word) {
    Segmentation seg = segmenter.segment(word);
    std::uint64_t characters = 0;
    if (seg.met_unknown || seg.used_byte_fallback)
        for (std::size_t i = 0; i < word.size(); i = character_end(word, i))
            characters += !base.contains(word.substr(i, character_end(word, i) - i));
    return characters + (seg.pieces.empty() ? 0 : seg.pieces.size() - 1);
}

// A token that is no whole word: it lacks the end-of-word suffix, or
// carries the continuing-subword prefix, of a model that has one.
bool inside_a_word(const ModelSettings& model, std::string_view token) {
    std::string_view suffix = word_suffix(model), prefix = subword_prefix(model);
    return (!suffix.empty() && !token.ends_with(suffix)) || (!prefix.empty() && token.starts_with(prefix));
}

// Appends OTHER's merge for a token inside words, where both parts are entries.
bool add_with_others_merge(EditorState& base, Segmenter& segmenter, const OtherToken& token,
                           VocabularyMergeReport& report) {
    Symbol left = base.find_symbol(token.made_of.first), right = base.find_symbol(token.made_of.second);
    if (token.made_of.first.empty() || !base.in_vocab(left) || !base.in_vocab(right)) return false;
    Symbol concatenation = base.intern_concat(left, right);
    if (base.has_merge(left, right, concatenation)) return false;
    Symbol result = base.insert_entry(token.text);
    report.entries_created.emplace_back(token.text, base.id_of(result));
    // The state names a merge's result by plain concatenation.
    base.append_merge(left, right, concatenation);
    segmenter.merge_appended(left, right);
    report.merges_appended.push_back(token.made_of);
    return true;
}

// The texts that runs of adjacent pieces spell in the words' segmentations
// under BASE's merges, up to `longest` bytes. Merges appended after BASE's
// only join such pieces, so a token that no run spells is never produced
// on those words.
std::unordered_set<std::string> texts_of_piece_runs(const EditorState& base, Segmenter& segmenter,
                                                    const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                                    std::size_t longest) {
    std::unordered_set<std::string> runs;
    Segmentation seg;
    std::string run;
    for (const auto& [word, count] : words) {
        if (count == 0 || !is_valid_utf8(word)) continue;
        segmenter.segment(word, seg);
        for (std::size_t first = 0; first < seg.pieces.size(); ++first) {
            run.clear();
            for (std::size_t last = first; last < seg.pieces.size(); ++last) {
                run += base.text(seg.pieces[last]);
                if (run.size() > longest) break;
                if (last > first) runs.insert(run);
            }
        }
    }
    return runs;
}

}  // namespace

EntriesInUse entries_in_use(const EditorState& state, const std::vector<std::pair<std::string, std::uint64_t>>& usage,
                            const std::vector<std::string>& entries) {
    std::unordered_set<Symbol> produced, parts;
    for (const auto& [token, count] : usage) {
        Symbol sym = state.find_symbol(token);
        if (count > 0 && state.in_vocab(sym)) produced.insert(sym);
    }
    std::vector<Symbol> pending(produced.begin(), produced.end());
    while (!pending.empty()) {
        Symbol sym = pending.back();
        pending.pop_back();
        SlotIndex producer = state.first_producer(sym);
        if (producer == kNoSlot) continue;
        for (Symbol part : {state.merge_at(producer).left, state.merge_at(producer).right})
            if (parts.insert(part).second) pending.push_back(part);
    }
    EntriesInUse out;
    for (const std::string& entry : entries) {
        Symbol sym = state.find_symbol(entry);
        if (produced.contains(sym)) out.produced.push_back(entry);
        else if (parts.contains(sym)) out.parts.push_back(entry);
    }
    return out;
}

std::string token_style_difference(const EditorState& base, const EditorState& other) {
    StyleReport a = detect_token_style(base), b = detect_token_style(other);
    auto describe = [](const StyleReport& style) {
        std::string text = style_name(style.style);
        if (style.byte_level && style.style != TokenStyle::kByteLevel) text += " (byte-level)";
        if (!style.marker.empty()) text += " \"" + style.marker + "\"";
        return text;
    };
    const ModelSettings &x = base.sections.model, &y = other.sections.model;
    if (a.style == b.style && a.byte_level == b.byte_level && a.marker == b.marker && subword_prefix(x) == subword_prefix(y) &&
        word_suffix(x) == word_suffix(y))
        return {};
    return "OTHER writes tokens in the " + describe(b) + " style, BASE in the " + describe(a) + " style";
}

VocabularyMergeReport merge_vocabulary(EditorState& base, const EditorState& other,
                                       const VocabularyMergeOptions& options) {
    VocabularyMergeReport report;
    std::vector<OtherToken> tokens = tokens_in_merge_order(other);
    report.other_entries = tokens.size();
    std::unordered_map<std::string_view, std::uint64_t> used;
    auto count_of = [&](const OtherToken& token) -> std::uint64_t {
        auto it = used.find(token.text);
        return it == used.end() ? 0 : it->second;
    };
    if (options.usage) for (const auto& [token, count] : *options.usage) used[token] += count;
    if (options.usage && options.rank_by_usage) {
        std::stable_sort(tokens.begin(), tokens.end(),
                         [&](const OtherToken& a, const OtherToken& b) { return count_of(a) > count_of(b); });
    }
    Segmenter segmenter(base);
    std::optional<std::unordered_set<std::string>> spelled;  // with corpus words: the runs they spell
    if (options.words) {
        std::size_t longest = 0;
        for (const OtherToken& token : tokens) longest = std::max(longest, token.text.size());
        spelled = texts_of_piece_runs(base, segmenter, *options.words, longest);
    }
    std::uint64_t created = 0;
    for (const OtherToken& token : tokens) {
        if (base.contains(token.text)) continue;
        ++report.missing;
        // A token OTHER never gives on the corpus is one of its steps towards
        // longer tokens, which BASE builds its own way: it would stay unused.
        // Nor does BASE's model give a token that no run of its pieces spells.
        if ((options.usage && count_of(token) == 0) || (spelled && !spelled->contains(token.text))) {
            ++report.unused_on_corpus;
            continue;
        }
        if (inside_a_word(base.sections.model, token.text)) {
            // Never a word of its own: only OTHER's merge can make it, inside longer words.
            if (created < options.max_entries && add_with_others_merge(base, segmenter, token, report)) {
                ++created;
                ++report.added;
                ++report.with_other_merge;
            } else if (created >= options.max_entries) {
                ++report.left_out_for_room;
            } else {
                report.not_added.push_back(token.text);
            }
            continue;
        }
        std::string_view word = word_of_token(base.sections.model, token.text);
        if (word.empty() || !is_valid_utf8(word)) {
            report.not_added.push_back(token.text);
            continue;
        }
        if (created + entries_needed(base, segmenter, word) > options.max_entries) {
            ++report.left_out_for_room;
            continue;
        }
        ReachableAddition added;
        try {
            added = add_word_reachable(base, segmenter, word, {options.add_unknown_characters, {}});
        } catch (const ChainTooLong&) {
            report.not_added.push_back(token.text);
            continue;
        }
        created += added.entries_created.size();
        for (auto& entry : added.entries_created) report.entries_created.push_back(std::move(entry));
        if (added.outcome == "added") {
            ++report.added;
            report.words_added.push_back(token.text);
            bool others_merge = added.merges_appended.size() == 1 && added.merges_appended[0] == token.made_of;
            ++(others_merge ? report.with_other_merge : report.with_chain);
        } else if (added.outcome != "already_whole") {
            report.not_added.push_back(token.text);
        }
        for (auto& merge : added.merges_appended) report.merges_appended.push_back(std::move(merge));
    }
    return report;
}

}  // namespace vocarix
